#pragma once
// The --params-file: every simulated vehicle's parameters and code, as JSON.
//
//   { "vehicles": { "1": { entry }, "2": { entry } } }
//
// An entry (see SimParams) is keyed by the vehicle's slot id, the id the command line gave it,
// and holds the id it flies under in basic.vehicleId: a vehicle whose id was changed comes back
// under its new id, as a real one would after a restart. Entries of vehicles not simulated in
// this run, and other top-level members, are kept as they were.
//
// The whole file is read before anything is simulated, so a malformed one stops the start; it
// is rewritten through QSaveFile (unbuffered: a short write never replaces the old file).

#include "SimParams.h"

#include <QJsonObject>
#include <QString>

#include <map>

class SimParamsStore {
public:
    explicit SimParamsStore(QString path)
        : m_path(std::move(path))
    {
    }

    const QString& path() const { return m_path; }

    // Reads the file when it exists; entries are read over the defaults of their slot and
    // defaultCode. False with the reason when the file or any entry is malformed, or when no
    // file could be written at the path's folder.
    bool load(const std::string& defaultCode, QString& error);
    // The stored state of a slot, or nothing.
    const SimParams* entry(int slotId) const;

    // Replaces a slot's entry and rewrites the file; false with the reason when it cannot.
    bool save(int slotId, const SimParams& params, QString& error);

private:
    QString m_path;
    QJsonObject m_root;
    std::map<int, SimParams> m_entries;
};
