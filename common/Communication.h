#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/Crypto.h"
#include "common/HttpClient.h"

namespace qz {

enum class TRequestResult { rrError, rrNotRecognizeResponse, rrDecryptFailed, rrOk, rrNoChange, rrStationBanned };
std::string RequestResultName(TRequestResult r);

// What the requests take from the settings.
struct TServerParams {
    std::string ServerUrl;      // the server's base address
    std::string PasswordHash;   // Base64 of the MD5 of the connection password
    int32_t ListenerPort = 0;
};

// The time one exchange may take: the connect and read time-outs, which
// together also bound the whole exchange.
struct TExchangeBounds {
    uint32_t ConnectMs;
    uint32_t ReadMs;
};

class TSettings;

// What the exchanges with the guard server take from the settings.
TServerParams ServerParamsOf(const TSettings& s);

// Every request to the guard server: one request per connection, encrypted payloads.
class TCommunicationModule {
public:
    static constexpr uint32_t ConnectTimeoutMs = 20000;
    static constexpr uint32_t ReadTimeoutMs = 60000;
    static constexpr uint32_t ShortReadTimeoutMs = 2000;

    // The transport is replaceable for tests; the default speaks HTTP.
    explicit TCommunicationModule(std::shared_ptr<THttpTransport> transport = nullptr);

    std::string Communicate(const std::string& State, const TBytes& password, const std::string& NoChangeCode,
                            const TServerParams& settings, TRequestResult& RequestResult,
                            TExchangeBounds bounds = {ConnectTimeoutMs, ReadTimeoutMs});
    std::string RegisterMe(const TServerParams& settings, TRequestResult& RequestResult);
    std::string TestConnection(const TServerParams& settings, TRequestResult& RequestResult);
    std::string GetStationDirectory(const TServerParams& settings, TRequestResult& RequestResult);
    std::string RegisterStation(const std::string& message, const TServerParams& settings,
                                TRequestResult& RequestResult);

    // Ends the exchanges under way and fails the later ones; for shutting down.
    void Cancel() { FTransport->Cancel(); }

    static std::string DecodeResponse(const std::string& Response, const TBytes& password,
                                      TRequestResult& RequestResult);
    static std::string GetMacAddressParameters();

    // The server address joined with an endpoint name ("guard", "get_banner", ...).
    static std::string EndpointUrl(const std::string& serverUrl, const std::string& endpoint);
    // Percent-encodes what can't travel in a query value as it is.
    static std::string PathEncode(const std::string& value);
    // Two to ten decimal digits, fresh for every key exchange.
    static std::string MakeOneTimeKey();

private:
    enum class KeyExchange { Register, Test, Directory };
    std::string KeyExchangeGet(KeyExchange kind, const TServerParams& settings, TRequestResult& RequestResult);
    // One request whose reply is read under the one-time key.
    std::string KeyedRequest(const std::string& method, const std::string& url, const std::string& body,
                             uint32_t readTimeoutMs, const std::string& key, bool countResets,
                             TRequestResult& RequestResult);
    std::shared_ptr<THttpTransport> FTransport;
};

// MAC addresses of the physical (PCI) network adapters, upper-case and colon-separated.
bool GetPhysicalAdapterMacs(std::vector<std::string>& list);
// One MAC address to report for the given server address; empty when none is found.
std::string GetPrimaryMac(const std::string& serverUrl);

}  // namespace qz
