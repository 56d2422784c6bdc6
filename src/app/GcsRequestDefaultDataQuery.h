#pragma once
// What every cloud request carries: the login's user id, token and team code, and this
// installation's device id and system type.

#include "GcsAbstractRequestDefaultDataQuery.h"

#include <QObject>

#include <memory>

class GcsLoginManager;

class GcsRequestDefaultDataQuery : public QObject, public GcsAbstractRequestDefaultDataQuery {
    Q_OBJECT
public:
    explicit GcsRequestDefaultDataQuery(std::weak_ptr<GcsLoginManager> loginMgr, QObject* parent = nullptr)
        : QObject(parent)
        , m_loginMgr(std::move(loginMgr))
    {
    }

    QString userId() const override;
    QString token() const override;
    QString deviceUniqueId() const override;
    int systemType() const override;
    QString teamCode() const override;

private:
    std::weak_ptr<GcsLoginManager> m_loginMgr;
};
