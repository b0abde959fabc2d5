// How many worker threads the pool starts: the two environment variables,
// else the CPUs this process may actually use (control-group CPU quota,
// affinity mask, online CPUs). Every parsing step takes its input as text, and
// file access goes through HostFiles, so the whole decision can be exercised
// on made-up values and a fake /proc and /sys tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// Upper bound on the pool size, whatever the environment asks for.
inline constexpr std::size_t kMaxWorkerThreads = 65535;

// An unsigned decimal: digits only with at most one leading '+', no blanks,
// no overflow of 64 bits. Anything else, non-UTF-8 bytes included, is nullopt.
std::optional<std::uint64_t> parse_unsigned(std::string_view text);

// The pool size from RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS (nullopt when a
// variable is unset); default_count is called only when neither decides.
std::size_t choose_thread_count(std::optional<std::string_view> num_threads,
                                std::optional<std::string_view> num_cpus,
                                const std::function<std::size_t()>& default_count);

// limit / period from the first line of a cgroup v2 "cpu.max"; nullopt for
// "max", a zero period or anything malformed.
std::optional<std::uint64_t> quota_from_cpu_max(std::string_view text);

// quota / period from cgroup v1 "cpu.cfs_quota_us" and "cpu.cfs_period_us";
// nullopt when either is not an unsigned number (quota "-1") or period is 0.
std::optional<std::uint64_t> quota_from_cfs(std::string_view quota_text,
                                            std::string_view period_text);

// The groups of this process, from the text of /proc/self/cgroup.
struct CgroupMembership {
  std::optional<std::string> unified;  // path of the "0::" line
  std::optional<std::string> cpu_v1;   // path of the v1 line listing "cpu"
};
CgroupMembership parse_proc_cgroup(std::string_view text);

// The first cgroup v1 mount carrying the "cpu" controller in the text of
// /proc/self/mountinfo.
struct CgroupMount {
  std::string root;         // the group of the hierarchy seen at the mount point
  std::string mount_point;  // octal escapes decoded
};
std::optional<CgroupMount> find_cpu_v1_mount(std::string_view mountinfo);

// Reads absolute paths below a root directory ("" for the real filesystem).
class HostFiles {
 public:
  explicit HostFiles(std::string root = {}) : root_(std::move(root)) {}
  std::optional<std::string> read(const std::string& path) const;
  bool exists(const std::string& path) const;

 private:
  std::string root_;
};

// The smallest CPU quota on the way from this process's group up to the
// cgroup mount point; nullopt when no level sets one. May be 0.
std::optional<std::uint64_t> cgroup_cpu_quota(const HostFiles& files);

// Combines the quota with the affinity mask size (nullopt when the mask could
// not be read) or, failing that, the online CPU count (sysconf's answer).
std::size_t cpus_available(std::optional<std::uint64_t> quota,
                           std::optional<std::size_t> affinity_cpus, long online_cpus);

// cpus_available for this process on this machine; at least 1.
std::size_t default_thread_count();

// The pool size for this process, from its environment; 1..kMaxWorkerThreads.
std::size_t configured_thread_count();

}  // namespace tarnwick
