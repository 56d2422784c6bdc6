#include "LinkManagerFactory.h"

#include "LinkManager.h"

#include <spdlog/spdlog.h>

LinkManagerFactory::LinkManagerFactory()
    : QObject(nullptr)
{
}

LinkManagerFactory::~LinkManagerFactory()
{
    spdlog::debug("LinkManagerFactory destroyed --------------");
}

LinkManagerFactory& LinkManagerFactory::getInstance()
{
    static LinkManagerFactory instance;
    return instance;
}

std::shared_ptr<LinkManager> LinkManagerFactory::createLinkManager(const QString& key)
{
    if (key.isEmpty()) {
        spdlog::warn("<LinkMgrFactory> createLinkManager: linkMgrKey is empty");
        return nullptr;
    }
    if (auto it = m_managers.find(key); it != m_managers.end())
        return it->second;
    auto linkMgr = std::make_shared<LinkManager>(nullptr);
    m_managers[key] = linkMgr;
    m_active = linkMgr;
    emit acvtiveLinkManagerChanged(linkMgr);
    return linkMgr;
}

std::shared_ptr<LinkManager> LinkManagerFactory::findLinkManager(const QString& key) const
{
    if (key.isEmpty())
        return nullptr;
    auto it = m_managers.find(key);
    return it == m_managers.end() ? nullptr : it->second;
}

std::shared_ptr<LinkManager> LinkManagerFactory::findLinkManager(OstAbstractLink* link) const
{
    if (!link)
        return nullptr;
    for (const auto& [key, mgr] : m_managers) {
        if (mgr && mgr->hasLink(link))
            return mgr;
    }
    return nullptr;
}

void LinkManagerFactory::removeLinkManager(const QString& key)
{
    m_managers.erase(key);
}

void LinkManagerFactory::removeLinkManager(std::shared_ptr<LinkManager> linkMgr)
{
    for (auto it = m_managers.begin(); it != m_managers.end(); ++it) {
        if (it->second == linkMgr) {
            m_managers.erase(it);
            return;
        }
    }
}

QList<std::shared_ptr<LinkManager>> LinkManagerFactory::allLinkManagers() const
{
    QList<std::shared_ptr<LinkManager>> all;
    for (const auto& [key, mgr] : m_managers) {
        if (mgr)
            all.append(mgr);
    }
    return all;
}

bool LinkManagerFactory::hasAnyOpenLink() const
{
    for (const auto& [key, mgr] : m_managers) {
        if (mgr && mgr->linkIsOpen())
            return true;
    }
    return false;
}

void LinkManagerFactory::setActiveLinkManager(std::shared_ptr<LinkManager> linkMgr)
{
    if (linkMgr == m_active)
        return;
    m_active = linkMgr;
    emit acvtiveLinkManagerChanged(linkMgr);
}
