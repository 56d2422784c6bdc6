#pragma once
// Parameter groups of any vehicle: read, write back as last read, change named fields and
// write, and the values as last read. A write sends the whole group, so it is refused until the
// group was read from that vehicle since it last came alive (values never read would overwrite
// the vehicle's own), and while another operation runs on the vehicle. Outcomes follow by
// request id in the OutcomeRecorder.

#include "services/ParamTable.h"
#include "services/ServiceResult.h"

#include <QObject>

#include <memory>
#include <optional>
#include <string>

class VehicleController;

namespace svc {

class OperationGate;
class OutcomeRecorder;

struct ParamTicket {
    int64_t requestId = 0;
    int vehicleId = 0;
    std::string group;
    bool write = false;
};

struct ParamGroupValues {
    int vehicleId = 0;
    std::string group;
    bool readSinceAlive = false;
    std::optional<int> lastReadCode;
    std::vector<ParamTable::Field> fields;
    std::optional<std::string> firmwareVersion;
};

class ParamService : public QObject {
    Q_OBJECT
public:
    ParamService(OperationGate& gate, OutcomeRecorder& outcomes, QObject* parent = nullptr);

    Result<ParamTicket> read(const std::shared_ptr<VehicleController>& vehicle, const std::string& group,
                             const std::string& action = "params.read");
    Result<ParamTicket> write(const std::shared_ptr<VehicleController>& vehicle, const std::string& group,
                              const std::string& action = "params.write");
    // Checks `values` first (a typo is reported as such whichever vehicle is meant), then writes.
    Result<ParamTicket> set(const std::shared_ptr<VehicleController>& vehicle, const std::string& group,
                            const ParamTable::Values& values);
    Result<ParamGroupValues> values(const std::shared_ptr<VehicleController>& vehicle, const std::string& group) const;

    // The group name as given, or Invalid.
    static Status checkGroup(const std::string& group);
    // Refusal of values alone (unknown names, out of range), without a vehicle.
    static Status checkValues(const std::string& group, const ParamTable::Values& values);

private:
    Status writable(const VehicleController& vehicle, const std::string& group) const;
    Result<ParamTicket> send(const std::shared_ptr<VehicleController>& vehicle, const std::string& group, bool write,
                             const std::string& action);

    OperationGate& m_gate;
    OutcomeRecorder& m_outcomes;
};

}  // namespace svc
