#include "GcsRequestDefaultDataQuery.h"

#include "GcsLoginManager.h"
#include "settings/GcsSettings.h"

QString GcsRequestDefaultDataQuery::userId() const
{
    auto mgr = m_loginMgr.lock();
    return mgr ? mgr->uid() : QString();
}

QString GcsRequestDefaultDataQuery::token() const
{
    auto mgr = m_loginMgr.lock();
    return mgr ? mgr->token() : QString();
}

QString GcsRequestDefaultDataQuery::deviceUniqueId() const
{
    return GcsSettings::getDeviceUniqueId();
}

int GcsRequestDefaultDataQuery::systemType() const
{
    return int(GcsSettings::getSystemType());
}

QString GcsRequestDefaultDataQuery::teamCode() const
{
    auto mgr = m_loginMgr.lock();
    return mgr ? mgr->teamCode() : QString();
}
