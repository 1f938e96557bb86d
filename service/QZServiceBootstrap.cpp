#include "service/QZServiceBootstrap.h"

#include "service/ServiceBootstrapProxy.h"

namespace qz {

TTallistoClient::TTallistoClient() : TService("TallistoClient") {
    DisplayName = "Tallisto Service";
    AllowStop = true;
    AllowPause = false;
    Interactive = false;
    ServiceType = TServiceType::stWin32;
    StartType = TStartType::stAuto;
    ErrorSeverity = TErrorSeverity::esNormal;
    WaitHint = 5000;
    AfterInstall = &TProxyGuardService::ServiceAfterInstall;
    OnStart = &TProxyGuardService::ServiceStart;
    OnStop = &TProxyGuardService::ServiceStop;
}

void TTallistoClient::ServiceSessionChange(uint32_t eventType, uint32_t sessionId) {
    TProxyGuardService::SessionChanged(eventType, sessionId);
}

}  // namespace qz
