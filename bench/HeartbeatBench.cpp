// Cost of one heartbeat on the workstation: building and encrypting the
// document, and decrypting and applying a large reply, each beside OpenSSL's
// raw AES-128-ECB over the same number of bytes.
#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "bench/BenchSupport.h"
#include "common/Crypto.h"
#include "common/Logger.h"
#include "common/Settings.h"
#include "platform/fake/FakeWorld.h"
#include "protocol/AppState.h"
#include "protocol/GuardEventsInfo.h"
#include "sessions/Locker.h"
#include "sessions/UserCache.h"

using namespace qz;
using qzbench::MeanMicros;

namespace {

TBytes RawEcb(const TBytes& in, const TBytes& key, bool encrypt) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key.data(), nullptr, encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    TBytes out(in.size());
    int n = 0;
    EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

std::string Template(int id) {
    return "<application id=\"" + std::to_string(id) + "\"><path>c:\\program files\\vendor" + std::to_string(id) +
           "\\*.exe</path><company>Vendor " + std::to_string(id) + "*</company><version>1.*</version><name>*</name></application>";
}

}  // namespace

int main() {
    platform::fake::Reset();
    TSettings settings;
    settings.SetPasswordHash("CGCbzzh9ExYqUp+8Dt/1CA==");
    TLocker locker;
    TUserCache cache(false);
    TGuardEventsInfo events(cache, false);
    TAppStateContext ctx;
    ctx.Settings = &settings;
    ctx.Locker = &locker;
    ctx.GuardEvents = &events;
    ctx.UserCache = &cache;
    ctx.AgentVersion = "1.0.0.1";
    ctx.OSVersion = "10.0.19045";
    TApplicationState state(ctx);
    state.ProcessState("<response version=\"2.5\"><control_state/></response>");

    // 50 users, 100 journal entries, 200 running observed applications.
    for (int u = 0; u < 50; ++u) events.UserChanged("", "LAB\\user" + std::to_string(u), u % 7 == 0, "User " + std::to_string(u));
    for (int a = 0; a < 50; ++a) events.AddAppEvent(a % 2 ? "app_stop" : "app_start", a, "");
    {
        std::lock_guard<std::mutex> lock(state.LMData().FCSRunningApps);
        for (int a = 0; a < 200; ++a) state.LMData().FRunningObservedApps.push_back(a);
    }
    const TBytes password = ToBytes("connection-pass!");
    const TBytes key = TCrypto::PrepareKey(password);

    std::string doc;
    TBytes cipher;
    const double build = MeanMicros(300, [&] {
        bool nc = false;
        doc = state.CreateResponse(nc);
        cipher = TCrypto::Encrypt(ToBytes(doc), password);
    });
    const TBytes docBytes = ToBytes(doc);
    const double encryptOnly = MeanMicros(2000, [&] { cipher = TCrypto::Encrypt(docBytes, password); });
    TBytes padded = ToBytes(doc);
    padded.resize(cipher.size(), 0);
    const double rawEncrypt = MeanMicros(2000, [&] { (void)RawEcb(padded, key, true); });

    // A reply with 200 templates.
    std::string reply = "<response version=\"2.5\"><control_state><lock_status>unlocked</lock_status><apps><app_cache modifytime=\"m\">";
    for (int i = 0; i < 200; ++i) reply += Template(i);
    reply += "</app_cache></apps></control_state></response>";
    const TBytes replyCipher = TCrypto::Encrypt(ToBytes(reply), password);
    const double apply = MeanMicros(100, [&] {
        state.ProcessState(ToText(TCrypto::Decrypt(replyCipher, password)));
    });
    const double decryptOnly = MeanMicros(2000, [&] { (void)TCrypto::Decrypt(replyCipher, password); });
    const double rawDecrypt = MeanMicros(2000, [&] { (void)RawEcb(replyCipher, key, false); });

    std::printf("heartbeat document: %zu bytes (100 journal entries, 50 users, 200 running applications)\n", doc.size());
    std::printf("  build + encrypt       %9.1f us\n", build);
    std::printf("  encrypt only          %9.1f us   raw EVP AES-128-ECB %9.1f us   ratio %.2f\n", encryptOnly,
                rawEncrypt, encryptOnly / rawEncrypt);
    std::printf("reply with 200 application templates: %zu bytes\n", reply.size());
    std::printf("  decrypt + apply       %9.1f us   (includes writing the saved list)\n", apply);
    std::printf("  decrypt only          %9.1f us   raw EVP AES-128-ECB %9.1f us   ratio %.2f\n", decryptOnly,
                rawDecrypt, decryptOnly / rawDecrypt);
    return 0;
}
