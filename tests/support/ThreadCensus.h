#pragma once

#include <dirent.h>

#include <fstream>
#include <string>
#include <vector>

/** The kernel's ids of this process's threads whose name starts with prefix
    (Linux truncates thread names to 15 characters). */
inline std::vector<int> threadIdsNamed (const std::string& prefix)
{
    std::vector<int> ids;

    if (auto* dir = ::opendir ("/proc/self/task"))
    {
        while (auto* entry = ::readdir (dir))
        {
            if (entry->d_name[0] == '.')
                continue;

            std::ifstream comm (std::string ("/proc/self/task/") + entry->d_name + "/comm");
            std::string name;
            std::getline (comm, name);

            if (name.rfind (prefix.substr (0, 15), 0) == 0)
                ids.push_back (std::stoi (entry->d_name));
        }

        ::closedir (dir);
    }

    return ids;
}

/** How many threads of this process carry a name starting with prefix. */
inline int countThreadsNamed (const std::string& prefix)
{
    return (int) threadIdsNamed (prefix).size();
}

/** How many threads this process has. */
inline int countThreads()
{
    int count = 0;

    if (auto* dir = ::opendir ("/proc/self/task"))
    {
        while (auto* entry = ::readdir (dir))
            count += entry->d_name[0] != '.' ? 1 : 0;

        ::closedir (dir);
    }

    return count;
}
