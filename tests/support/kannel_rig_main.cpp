// The test rig's Kannel as a program, for scripts and for trying the queue
// server by hand: starts Kannel (fake SMSC, or --smpp for the SMPP test server),
// writes where to reach it as KEY=VALUE lines to --info FILE, and on SIGUSR1
// prints what the SMSC has received so far; SIGTERM or SIGINT prints it too and
// stops Kannel. --base-port N fixes its ports. With --rate N it measures Kannel's own sendsms rate
// instead (N numbers, --per-request K of them in each request) and exits.

#include "tests/support/KannelRig.h"

#include <signal.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>

using namespace telvoro::test;

namespace {

void Print(const KannelRig& rig) {
    const std::vector<SmscMessage> got = rig.Received();
    std::cout << got.size() << " message(s) at the SMSC\n";
    for (const SmscMessage& m : got) {
        std::cout << m.from.toStdString() << " -> " << m.to.toStdString() << " [" << m.parts
                  << (m.parts == 1 ? " part" : " parts") << (m.ucs2 ? ", UCS-2" : ", 7-bit")
                  << (m.complete ? "" : ", INCOMPLETE") << (m.rejected ? ", refused" : "") << "] "
                  << m.text.toStdString() << '\n';
    }
    std::cout.flush();
}

} // namespace

int main(int argc, char** argv) {
    KannelRig::Options options;
    std::string info;
    size_t rate = 0, perRequest = 100;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--smpp"))
            options.smsc = KannelRig::Smsc::Smpp;
        else if (!std::strcmp(argv[i], "--info") && i + 1 < argc)
            info = argv[++i];
        else if (!std::strcmp(argv[i], "--rate") && i + 1 < argc)
            rate = std::stoul(argv[++i]);
        else if (!std::strcmp(argv[i], "--base-port") && i + 1 < argc)
            options.basePort = std::clamp(std::atoi(argv[++i]), 0, 65532);
        else if (!std::strcmp(argv[i], "--per-request") && i + 1 < argc)
            perRequest = std::max<size_t>(1, std::stoul(argv[++i]));
        else {
            info.clear();
            rate = 0;
            break;
        }
    }
    if (info.empty() && rate == 0) {
        std::cerr << "usage: " << argv[0] << " [--smpp] [--base-port N] --info FILE\n"
                  << "       " << argv[0]
                  << " [--smpp] [--base-port N] --rate N [--per-request K]\n"
                  << "  --base-port N: the SMSC side, bearerbox's admin and smsbox ports and\n"
                  << "                 sendsms on N to N+3 (default: free ports)\n";
        return 2;
    }
    if (rate > 0) {
        try {
            KannelRig rig(options);
            const SendsmsRate r = MeasureSendsms(rig, rate, perRequest);
            std::cout << r.numbers << " numbers, " << perRequest << " per request, to the "
                      << (options.smsc == KannelRig::Smsc::Fake ? "fake SMSC" : "SMPP server")
                      << ": " << r.seconds << " s, " << static_cast<long>(r.PerSecond())
                      << " numbers/s\n";
            return 0;
        } catch (const std::exception& e) {
            std::cerr << e.what() << '\n';
            return 1;
        }
    }
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int s : {SIGTERM, SIGINT, SIGUSR1})
        sigaddset(&stopSignals, s);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    try {
        KannelRig rig(options);
        {
            std::ofstream out(info + ".new");
            out << "sendsms=" << rig.SendsmsUrl().toStdString() << '\n'
                << "user=" << rig.User().toStdString() << '\n'
                << "password-file=" << rig.PasswordFile().string() << '\n'
                << "folder=" << rig.Folder().string() << '\n';
        }
        // Whoever waits for the file sees it whole.
        std::filesystem::rename(info + ".new", info);
        for (;;) {
            int s = 0;
            sigwait(&stopSignals, &s);
            Print(rig);
            if (s != SIGUSR1) break;
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
}
