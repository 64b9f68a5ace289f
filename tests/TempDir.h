// A scratch directory for one test, removed with everything in it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>

class TempDir {
public:
    TempDir()
    {
        char templ[] = "/tmp/xkt-test-XXXXXX";
        const char* made = mkdtemp(templ);
        m_path = made ? made : "";
    }
    ~TempDir()
    {
        std::error_code error;   // what cannot be removed stays; the test is over
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, error);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};
