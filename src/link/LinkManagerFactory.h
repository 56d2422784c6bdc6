#pragma once
// Process-wide registry of link managers by key, and the active one.
//
// All calls belong on the main thread. The registry lives until process exit; a program that
// builds and tears down applications (tests) removes its managers itself.

#include <QList>
#include <QObject>
#include <QString>

#include <map>
#include <memory>

class LinkManager;
class OstAbstractLink;

class LinkManagerFactory : public QObject {
    Q_OBJECT
public:
    static LinkManagerFactory& getInstance();
    static QString mavLocalLinkMgrKey() { return QStringLiteral("mav-local-link-key"); }

    std::shared_ptr<LinkManager> createLinkManager(const QString& key);
    std::shared_ptr<LinkManager> findLinkManager(const QString& key) const;
    std::shared_ptr<LinkManager> findLinkManager(OstAbstractLink* link) const;
    void removeLinkManager(const QString& key);
    void removeLinkManager(std::shared_ptr<LinkManager> linkMgr);
    QList<std::shared_ptr<LinkManager>> allLinkManagers() const;
    bool hasAnyOpenLink() const;
    std::shared_ptr<LinkManager> activeLinkMgr() const { return m_active; }
    void setActiveLinkManager(std::shared_ptr<LinkManager> linkMgr);

signals:
    void acvtiveLinkManagerChanged(std::shared_ptr<LinkManager> linkMgr);

private:
    LinkManagerFactory();
    ~LinkManagerFactory() override;

    std::map<QString, std::shared_ptr<LinkManager>> m_managers;
    std::shared_ptr<LinkManager> m_active;
};
