#pragma once
// What Linux says of a process the benchmark watches: its CPU time, parent,
// resident memory and peak, from /proc. Zero when the process is gone.

#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace telvoro::bench {

// The fields of /proc/PID/stat after the command name (the first is the
// state, field 3); none when the process is gone.
inline std::vector<std::string> StatFields(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = stat.rfind(')');
    std::vector<std::string> fields;
    if (close == std::string::npos) return fields;
    std::istringstream rest(stat.substr(close + 2));
    for (std::string field; rest >> field;)
        fields.push_back(field);
    return fields;
}

// CPU seconds (user + system, fields 14 and 15) a process has used so far.
inline double CpuSeconds(pid_t pid) {
    const std::vector<std::string> f = StatFields(pid);
    if (f.size() < 13) return 0;
    return static_cast<double>(std::stoull(f[11]) + std::stoull(f[12])) /
           static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The parent process ID of a process (field 4).
inline pid_t ParentOf(pid_t pid) {
    const std::vector<std::string> f = StatFields(pid);
    return f.size() < 2 ? 0 : static_cast<pid_t>(std::stoi(f[1]));
}

// A line of /proc/PID/status in MB: "VmRSS" now, "VmHWM" the peak so far.
inline double MemoryMb(pid_t pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key + ":", 0) == 0) return std::stod(line.substr(key.size() + 1)) / 1024;
    return 0;
}

// CPU seconds by process of a server and its children (backends come and go).
inline std::map<pid_t, double> TreeCpu(pid_t root) {
    std::map<pid_t, double> cpu;
    if (root <= 0) return cpu;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const pid_t pid = static_cast<pid_t>(std::stoi(name));
        if (pid == root || ParentOf(pid) == root) cpu[pid] = CpuSeconds(pid);
    }
    return cpu;
}

// CPU seconds the tree used since `before`.
inline double TreeCpuSince(pid_t root, const std::map<pid_t, double>& before) {
    double sum = 0;
    for (const auto& [pid, seconds] : TreeCpu(root)) {
        const auto it = before.find(pid);
        sum += seconds - (it == before.end() ? 0 : it->second);
    }
    return sum;
}

} // namespace telvoro::bench
