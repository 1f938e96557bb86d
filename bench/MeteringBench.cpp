// Cost of one metering pass over a busy terminal server's snapshot (400
// processes, 300 applications of two alternatives each), beside the same
// number of plain wildcard matches in the same run.
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "common/Logger.h"
#include "monitor/LicenseManager.h"
#include "platform/fake/FakeWorld.h"
#include "protocol/GuardEventsInfo.h"
#include "sessions/UserCache.h"

using namespace qz;
using qzbench::MeanMicros;

namespace {

std::string N(int i) { return std::to_string(i); }

}  // namespace

int main() {
    platform::fake::Reset();
    TLogger::SetMainLevel(logInfo);
    TProcessTemplateList templates;
    for (int i = 0; i < 300; ++i) {
        auto t = std::make_unique<TProcessTemplate>();
        t->SetId(i);
        TOneProcessTemplate& a = t->AddSimpleTemplate();
        a.SetPathTemplate("c:\\program files\\vendor" + N(i) + "\\*\\app" + N(i) + ".exe");
        TOneProcessTemplate& b = t->AddSimpleTemplate();
        b.SetPathTemplate("*\\tool" + N(i) + "?.exe");
        b.SetCompanyTemplate("vendor " + N(i) + "*");
        templates.push_back(std::move(t));
    }
    TProcessList processes;
    for (int i = 0; i < 400; ++i) {
        TProcessInfo p;
        p.FPId = 1000 + i;
        p.FProcessPath = i % 10 == 0 ? "C:\\Program Files\\Vendor" + N(i % 300) + "\\bin\\App" + N(i % 300) + ".exe"
                                     : "C:\\Windows\\System32\\svchost" + N(i) + ".exe";
        p.FName = "Host Process for Windows Services";
        p.FCompanyName = "Microsoft Corporation";
        p.FVersion = "10.0.19041.1";
        processes.push_back(p);
    }
    TUserCache users(false);
    TGuardEventsInfo journal(users, false);
    TLicenseManagerData data;
    data.SetObservedApps(std::move(templates));

    const double pass = MeanMicros(200, [&] { MeterScope(processes, data, "", journal); });

    // The baseline: as many plain matches of lower-case text as the pass may try.
    std::vector<std::string> values, patterns;
    for (const auto& p : processes) values.push_back("c:\\windows\\system32\\" + N(static_cast<int>(p.FPId)) + ".exe");
    for (int i = 0; i < 600; ++i) patterns.push_back(i % 2 ? "*\\tool" + N(i) + "?.exe" : "c:\\program files\\vendor" + N(i) + "\\*\\app.exe");
    volatile int hits = 0;
    const double plain = MeanMicros(20, [&] {
        for (const auto& v : values)
            for (const auto& pat : patterns) hits = hits + WildcardMatch(v, pat);
    });
    std::printf("metering pass, 400 processes x 300 templates x 2 alternatives: %.1f us\n", pass);
    std::printf("240000 plain wildcard matches in the same run:                 %.1f us (ratio pass/plain %.2f)\n",
                plain, pass / plain);
    return 0;
}
