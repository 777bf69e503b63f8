// The number of processors this process may use: affinity and cgroup quota.

#include "common/processors.hpp"

#include "common/fd.hpp"
#include "common/path.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

// How many processors the process may use: the CPU affinity mask, capped by
// the CPU bandwidth quota of the cgroup the process runs in (containers are
// commonly given all host CPUs in their mask but a quota of a few).

namespace quastor {

namespace {

// A small procfs/sysfs file, read whole; empty when it cannot be read.
std::string read_small_file(std::string const& path)
{
    std::string text;
    auto fd = open_file(path, O_RDONLY);
    if (!fd)
        return text;
    char buffer[4096];
    for (;;) {
        ssize_t got = ::read(fd->get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || text.size() > (1u << 20))
            break;
        text.append(buffer, static_cast<size_t>(got));
    }
    return text;
}

// The fields of `text` between `separator`s, for reading by position.
std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    for (std::string_view const part : split_text(text, separator))
        parts.push_back(part);
    return parts;
}

bool parse_u64(std::string_view text, uint64_t& value)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.remove_suffix(1);
    if (text.empty() || text.size() > 18)
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

unsigned affinity_count()
{
    // Retry with larger masks on machines with more CPUs than CPU_SETSIZE.
    for (size_t cpus = 1024; cpus <= (1u << 20); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr)
            return 0;
        size_t bytes = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(bytes, set);
        int ok = ::sched_getaffinity(0, bytes, set);
        int count = ok == 0 ? CPU_COUNT_S(bytes, set) : 0;
        int error = errno;
        CPU_FREE(set);
        if (ok == 0)
            return static_cast<unsigned>(count);
        if (error != EINVAL)
            return 0;
    }
    return 0;
}

// Processors granted by one cgroup directory's quota, 0 when unlimited or
// unreadable. cgroup v2 writes "max 100000" or "<quota> <period>" to
// cpu.max; v1 splits them over two files, with -1 for no quota.
unsigned quota_in(std::string const& directory, bool v2)
{
    uint64_t quota = 0;
    uint64_t period = 0;
    if (v2) {
        auto fields = split(read_small_file(directory + "/cpu.max"), ' ');
        if (fields.size() != 2 || !parse_u64(fields[0], quota) || !parse_u64(fields[1], period))
            return 0;
    } else if (!parse_u64(read_small_file(directory + "/cpu.cfs_quota_us"), quota)
        || !parse_u64(read_small_file(directory + "/cpu.cfs_period_us"), period)) {
        return 0;
    }
    if (quota == 0 || period == 0)
        return 0;
    uint64_t cpus = (quota + period - 1) / period;
    return cpus > 0xFFFF ? 0xFFFF : static_cast<unsigned>(cpus);
}

// The smallest quota from the process's cgroup up to the hierarchy's root,
// since a parent's limit binds its children too. 0 when none is set.
unsigned quota_along(std::string const& mount_point, std::string_view cgroup_path, bool v2)
{
    unsigned smallest = 0;
    std::string path(cgroup_path);
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    for (;;) {
        unsigned cpus = quota_in(mount_point + path, v2);
        if (cpus != 0 && (smallest == 0 || cpus < smallest))
            smallest = cpus;
        if (path.empty())
            return smallest;
        path.resize(path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
    }
}

bool has_item(std::string_view list, std::string_view item)
{
    for (auto part : split(list, ','))
        if (part == item)
            return true;
    return false;
}

// Walks the cgroup mounts in /proc/self/mountinfo and, for the v2 hierarchy
// and the v1 hierarchy holding the cpu controller, reads the quota along the
// process's own cgroup path from /proc/self/cgroup.
unsigned cgroup_quota()
{
    std::string memberships = read_small_file("/proc/self/cgroup");
    std::string v2_path;
    std::string v1_path;
    bool have_v2 = false;
    bool have_v1 = false;
    for (auto line : split(memberships, '\n')) {
        auto fields = split(line, ':');
        if (fields.size() < 3)
            continue;
        // The path may itself contain ':'; it is everything after the second.
        std::string_view path = line.substr(fields[0].size() + fields[1].size() + 2);
        if (fields[0] == "0" && fields[1].empty()) {
            v2_path = path;
            have_v2 = true;
        } else if (has_item(fields[1], "cpu")) {
            v1_path = path;
            have_v1 = true;
        }
    }
    unsigned smallest = 0;
    std::string mounts = read_small_file("/proc/self/mountinfo");
    for (auto line : split(mounts, '\n')) {
        // id parent major:minor root mount-point options [optional...] - type source super-options
        auto fields = split(line, ' ');
        size_t dash = 0;
        while (dash < fields.size() && fields[dash] != "-")
            ++dash;
        if (fields.size() < 5 || dash + 3 >= fields.size())
            continue;
        std::string_view root = fields[3];
        std::string mount_point(fields[4]);
        std::string_view type = fields[dash + 1];
        bool v2 = type == "cgroup2";
        std::string_view cgroup_path;
        if (v2 && have_v2)
            cgroup_path = v2_path;
        else if (type == "cgroup" && have_v1 && has_item(fields[dash + 3], "cpu"))
            cgroup_path = v1_path;
        else
            continue;
        // A mount of a sub-tree shows the process's path relative to that
        // sub-tree's root; outside it the mount tells us nothing.
        if (root != "/") {
            if (!cgroup_path.starts_with(root)
                || (cgroup_path.size() > root.size() && cgroup_path[root.size()] != '/'))
                continue;
            cgroup_path.remove_prefix(root.size());
        }
        unsigned cpus = quota_along(mount_point, cgroup_path, v2);
        if (cpus != 0 && (smallest == 0 || cpus < smallest))
            smallest = cpus;
    }
    return smallest;
}

} // namespace

unsigned available_processors()
{
    unsigned cpus = affinity_count();
    unsigned quota = cgroup_quota();
    if (cpus == 0)
        cpus = quota;
    else if (quota != 0 && quota < cpus)
        cpus = quota;
    return cpus == 0 ? 1 : cpus;
}

} // namespace quastor
