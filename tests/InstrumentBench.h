// The bench: simulated instruments on pseudo-terminals linked as COM ports
// in a scratch directory, which is also the working directory for the files
// a download writes.
#pragma once

#include "SerialPort.h"
#include "SimInstrument.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <unistd.h>

class InstrumentBench : public ::testing::Test {
public:
    static sim::Reply Whole(std::string bytes)
    {
        sim::Reply reply;
        reply.bytes = std::move(bytes);
        return reply;
    }

protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_ports.Path().empty());
        ASSERT_FALSE(m_work.Path().empty());
        SerialPort::SetDeviceDirectory(m_ports.Path());
        char cwd[4096];
        ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
        m_oldCwd = cwd;
        ASSERT_EQ(0, chdir(m_work.Path().c_str()));
    }

    void TearDown() override
    {
        if (!m_oldCwd.empty() && chdir(m_oldCwd.c_str()) != 0)
            ADD_FAILURE() << "cannot go back to " << m_oldCwd;
    }

    sim::SimInstrument& Attach(int nPort, const sim::Scenario& scenario = sim::DefaultScenario())
    {
        auto instrument = std::make_unique<sim::SimInstrument>(scenario);
        EXPECT_TRUE(instrument->Ok());
        EXPECT_TRUE(instrument->LinkAs(m_ports / ("com" + std::to_string(nPort))));
        m_instruments.push_back(std::move(instrument));
        return *m_instruments.back();
    }

    static std::string ReadFile(const std::string& strName)
    {
        std::ifstream in(strName, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }

    static void WriteFile(const std::string& strName, const std::string& strContent)
    {
        std::ofstream(strName, std::ios::binary) << strContent;
    }

    // Names in the working directory, sorted.
    std::vector<std::string> WorkFiles() const
    {
        std::vector<std::string> names;
        if (DIR* dir = opendir(m_work.Path().c_str())) {
            while (dirent* entry = readdir(dir)) {
                std::string name = entry->d_name;
                if (name != "." && name != "..")
                    names.push_back(name);
            }
            closedir(dir);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    template <typename F>
    static double SecondsFor(F&& action)
    {
        auto start = std::chrono::steady_clock::now();
        action();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    TempDir m_ports;
    TempDir m_work;
    std::string m_oldCwd;
    std::vector<std::unique_ptr<sim::SimInstrument>> m_instruments;
};
