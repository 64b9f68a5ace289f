// A scratch directory for one test, removed with everything in it.
#pragma once

#include <cstdlib>
#include <string>
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
        if (!m_path.empty())
            std::system(("rm -rf '" + m_path + "'").c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};
