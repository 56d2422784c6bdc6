#pragma once

#include <QObject>

class GcsAccountEnums {
    Q_GADGET
public:
    // 0, 3 and 4 are the kinds of "no session"; 2 is the only state with a usable session.
    enum LoginState {
        NotLoggedIn = 0,  // no session yet, or a login attempt from here failed
        LoggingIn = 1,  // a login request is in flight
        LoggedIn = 2,
        LoggedOut = 3,  // the user logged out
        LoginExpired = 4,  // the cloud refused the cached session
    };
    Q_ENUM(LoginState)

    // Result of starting a login; only Started leads to a ...Resp signal.
    enum LoginRequestRet {
        Started = 0,
        Busy = 1,  // another login is in flight
        AlreadyLoggedIn = 2,  // log out first
        InvalidArgument = 3,  // an empty e-mail, password or captcha
        HttpUnavailable = 4,  // the HTTP client no longer exists
    };
    Q_ENUM(LoginRequestRet)
};
