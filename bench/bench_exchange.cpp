// Exchange benchmark: how close the command exchange comes to the line's
// physical limit. It reports figures and fails only when it cannot measure.
//
//   counted: time from the instrument's last reply byte to ExchangeCommand
//            returning, over 50 probes (the line itself needs ~21 ms for 1+19 bytes)
//   bulk:    data sets paced at 960 bytes/s (9600 baud): share of bytes received
//            and time from the last byte to ReceiveBulk returning (the end of
//            data is two quiet seconds, so about 2.0 s is right)
//   pauses:  an instrument that falls silent mid-transfer: the longest pause
//            after which the whole data set still arrived
//   cpu:     CPU time of the polling thread during a 10 s bulk exchange
#include "FakeDialog.h"
#include "SerialPort.h"
#include "SimInstrument.h"
#include "XKTCore.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double ThreadCpuSeconds()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string DataOfSize(size_t nBytes)
{
    std::string data = sim::MakeDataSet('v', static_cast<int>(nBytes / 20 + 10));
    data.resize(nBytes, '.');
    return data;
}

bool Counted(sim::SimInstrument& instrument, FakeDialog& dialog)
{
    std::vector<double> lags;
    std::vector<double> totals;
    for (int i = 0; i < 50; ++i) {
        g_strCommand = "y";
        Clock::time_point t0 = Clock::now();
        if (!dialog.ExchangeCommand(PROBE_REPLY_LENGTH)) {
            std::printf("counted: probe %d failed\n", i);
            return false;
        }
        lags.push_back(Ms(Clock::now() - instrument.LastReplyEnd()));
        totals.push_back(Ms(Clock::now() - t0));
    }
    std::sort(lags.begin(), lags.end());
    std::sort(totals.begin(), totals.end());
    std::printf("counted: %zu probes, last byte to return: median %.1f ms, max %.1f ms (target: median < 12 ms); "
                "whole exchange: median %.1f ms, max %.1f ms\n",
                lags.size(), lags[lags.size() / 2], lags.back(), totals[totals.size() / 2], totals.back());
    return true;
}

void Bulk(sim::SimInstrument& instrument, FakeDialog& dialog, size_t nBytes)
{
    sim::Scenario scenario = instrument.GetScenario();
    scenario.dataSets['v'].bytes = DataOfSize(nBytes);
    scenario.dataSets['v'].nBytesPerSecond = 960;
    scenario.dataSets['v'].pieces.clear();
    instrument.SetScenario(scenario);

    g_strCommand = "v";
    Clock::time_point start = Clock::now();
    double cpuStart = ThreadCpuSeconds();
    dialog.ReceiveBulk();
    Clock::time_point end = Clock::now();
    double cpu = ThreadCpuSeconds() - cpuStart;

    double total = std::chrono::duration<double>(end - start).count();
    double afterLast = std::chrono::duration<double>(end - instrument.LastReplyEnd()).count();
    std::printf("bulk %3zu KiB: received/sent %.4f, total %.2f s, last byte to return %.3f s "
                "(two quiet seconds end a data set), cpu %.3f s = %.2f %% of one core\n",
                nBytes / 1024, static_cast<double>(dialog.m_strReply.size()) / static_cast<double>(nBytes),
                total, afterLast, cpu, 100.0 * cpu / total);
}

// Half a second of data, a pause, half a second more: which pauses still
// give the whole data set.
void Pauses(sim::SimInstrument& instrument, FakeDialog& dialog)
{
    const std::string data = DataOfSize(960);
    double longestWhole = 0;
    std::string results;
    for (int nPauseMs : {500, 1000, 1500, 1800, 1900, 1950, 2100, 2500}) {
        sim::Scenario scenario = instrument.GetScenario();
        sim::Reply& reply = scenario.dataSets['v'];
        reply.bytes = data;
        reply.nBytesPerSecond = 960;
        reply.pieces = {480, 480};
        reply.nPieceGapMs = nPauseMs;
        instrument.SetScenario(scenario);
        g_strCommand = "v";
        dialog.ReceiveBulk();
        bool bWhole = dialog.m_strReply == data;
        if (bWhole && longestWhole * 1000 < nPauseMs)
            longestWhole = nPauseMs / 1000.0;
        char szResult[64];
        std::snprintf(szResult, sizeof szResult, " %.2f s %s;", nPauseMs / 1000.0,
                      bWhole ? "whole" : "cut");
        results += szResult;
        usleep(300 * 1000);   // the cut case's tail drains
    }
    std::printf("pauses:%s longest pause tolerated %.2f s (a download ends after 2 s of quiet)\n",
                results.c_str(), longestWhole);
}

void Cpu(sim::SimInstrument& instrument, FakeDialog& dialog)
{
    sim::Scenario scenario = instrument.GetScenario();
    scenario.dataSets['a'].bytes = DataOfSize(9600);   // 10 s at 960 bytes/s
    scenario.dataSets['a'].nBytesPerSecond = 960;
    instrument.SetScenario(scenario);

    g_strCommand = "a";
    Clock::time_point start = Clock::now();
    double cpuStart = ThreadCpuSeconds();
    dialog.ReceiveBulk();
    double cpu = ThreadCpuSeconds() - cpuStart;
    double total = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("cpu: %.2f s bulk exchange used %.3f s of CPU = %.2f %% of one core (target < 2 %%)\n",
                total, cpu, 100.0 * cpu / total);
}

}  // namespace

int main(int argc, char** argv)
{
    bool bQuick = argc > 1 && std::string(argv[1]) == "--quick";

    char dir[] = "/tmp/xkt-bench-XXXXXX";
    if (!mkdtemp(dir)) {
        std::perror("mkdtemp");
        return 1;
    }
    SerialPort::SetDeviceDirectory(dir);
    int rc = 0;
    {
        sim::SimInstrument instrument;
        if (!instrument.Ok() || !instrument.LinkAs(std::string(dir) + "/com1")) {
            std::printf("cannot start the simulated instrument\n");
            return 1;
        }
        FakeDialog dialog;
        dialog.UseCom(1);

        if (!Counted(instrument, dialog))
            rc = 1;
        std::vector<size_t> sizes = {1024, 4096, 16384, 65536};
        if (bQuick)
            sizes = {1024};
        for (size_t nBytes : sizes)
            Bulk(instrument, dialog, nBytes);
        Pauses(instrument, dialog);
        if (!bQuick)
            Cpu(instrument, dialog);
    }
    rmdir(dir);
    return rc;
}
