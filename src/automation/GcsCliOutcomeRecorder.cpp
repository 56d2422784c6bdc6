#include "GcsCliOutcomeRecorder.h"

#include "GcsCliAccountOutcomes.h"
#include "GcsCliNfzOutcomes.h"

GcsCliOutcomeRecorder::GcsCliOutcomeRecorder(svc::StationPort* station, QObject* parent)
    : QObject(parent)
    , m_station(station)
{
    m_nfz = new GcsCliNfzOutcomes(this);
    m_account = new GcsCliAccountOutcomes(this);
    attach();
}

GcsCliOutcomeRecorder::~GcsCliOutcomeRecorder() = default;

void GcsCliOutcomeRecorder::attach()
{
    m_nfz->attach(m_station);
    m_account->attach(m_station);
}
