// The default worker count: the environment, the CPUs this process may run on, and its control-group quota.
#include "support/cpu_count.h"

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

namespace tarnwick {

namespace {

constexpr std::string_view kCgroupRoot = "/sys/fs/cgroup";

std::string_view first_line(std::string_view text) {
  return text.substr(0, text.find('\n'));
}

std::string_view trim(std::string_view text) {
  constexpr std::string_view blanks = " \t\r\n";
  std::size_t b = text.find_first_not_of(blanks);
  if (b == std::string_view::npos) return {};
  std::size_t e = text.find_last_not_of(blanks);
  return text.substr(b, e - b + 1);
}

std::vector<std::string_view> split(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t at = text.find(sep, start);
    parts.push_back(text.substr(start, at - start));
    if (at == std::string_view::npos) return parts;
    start = at + 1;
  }
}

bool lists(std::string_view comma_list, std::string_view item) {
  for (std::string_view part : split(comma_list, ',')) {
    if (part == item) return true;
  }
  return false;
}

// mountinfo writes blanks, tabs, newlines and backslashes in paths as \ooo.
std::string decode_octal_escapes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      std::string_view digits = text.substr(i + 1, 3);
      if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        out.push_back(static_cast<char>(((digits[0] - '0') << 6) | ((digits[1] - '0') << 3) |
                                        (digits[2] - '0')));
        i += 3;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

// The non-empty components of a group path; nullopt when it climbs with "..",
// which the kernel never writes but which must not lead outside the mount.
std::optional<std::vector<std::string_view>> path_components(std::string_view path) {
  std::vector<std::string_view> parts;
  for (std::string_view part : split(path, '/')) {
    if (part.empty() || part == ".") continue;
    if (part == "..") return std::nullopt;
    parts.push_back(part);
  }
  return parts;
}

// Applies quota_at to the group directory and every directory above it up to
// and including mount, keeping the smallest quota found.
template <class QuotaAt>
std::optional<std::uint64_t> walk_up(const std::string& mount, std::string_view group,
                                     QuotaAt&& quota_at) {
  auto parts = path_components(group);
  if (!parts) return std::nullopt;
  std::optional<std::uint64_t> best;
  for (std::size_t depth = parts->size() + 1; depth-- > 0;) {
    std::string dir = mount;
    for (std::size_t i = 0; i < depth; ++i) {
      dir += '/';
      dir += (*parts)[i];
    }
    if (std::optional<std::uint64_t> q = quota_at(dir)) best = best ? std::min(*best, *q) : *q;
  }
  return best;
}

std::optional<std::uint64_t> unified_quota(const HostFiles& files, std::string_view group) {
  return walk_up(std::string(kCgroupRoot), group, [&](const std::string& dir) {
    std::optional<std::string> text = files.read(dir + "/cpu.max");
    return text ? quota_from_cpu_max(*text) : std::nullopt;
  });
}

std::optional<std::uint64_t> v1_quota(const HostFiles& files, std::string_view group) {
  std::string mount;
  for (std::string_view candidate : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
    if (files.exists(std::string(candidate))) {
      mount = candidate;
      break;
    }
  }
  if (mount.empty()) {
    std::optional<std::string> mountinfo = files.read("/proc/self/mountinfo");
    if (!mountinfo) return std::nullopt;
    std::optional<CgroupMount> found = find_cpu_v1_mount(*mountinfo);
    if (!found) return std::nullopt;
    mount = found->mount_point;
    // The mount shows the hierarchy from its root group down, so the path
    // below the mount point is the group path relative to that root.
    if (found->root != "/" && group.starts_with(found->root) &&
        (group.size() == found->root.size() || group[found->root.size()] == '/')) {
      group.remove_prefix(found->root.size());
    }
  }
  return walk_up(mount, group, [&](const std::string& dir) -> std::optional<std::uint64_t> {
    std::optional<std::string> quota = files.read(dir + "/cpu.cfs_quota_us");
    if (!quota) return std::nullopt;
    std::optional<std::string> period = files.read(dir + "/cpu.cfs_period_us");
    if (!period) return std::nullopt;
    return quota_from_cfs(*quota, *period);
  });
}

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

}  // namespace

std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::size_t choose_thread_count(std::optional<std::string_view> num_threads,
                                std::optional<std::string_view> num_cpus,
                                const std::function<std::size_t()>& default_count) {
  auto capped = [](std::uint64_t n) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(n, kMaxWorkerThreads));
  };
  auto fallback = [&] { return capped(std::max<std::size_t>(default_count(), 1)); };

  std::optional<std::uint64_t> wanted = num_threads ? parse_unsigned(*num_threads) : std::nullopt;
  if (wanted) {
    // An explicit 0 asks for the default and overrides the second variable.
    return *wanted >= 1 ? capped(*wanted) : fallback();
  }
  std::optional<std::uint64_t> cpus = num_cpus ? parse_unsigned(*num_cpus) : std::nullopt;
  if (cpus && *cpus >= 1) return capped(*cpus);
  return fallback();
}

std::optional<std::uint64_t> quota_from_cpu_max(std::string_view text) {
  std::string_view line = first_line(text);
  std::size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return std::nullopt;
  std::optional<std::uint64_t> limit = parse_unsigned(line.substr(0, blank));
  std::optional<std::uint64_t> period = parse_unsigned(line.substr(blank + 1));
  if (!limit || !period || *period == 0) return std::nullopt;
  return *limit / *period;
}

std::optional<std::uint64_t> quota_from_cfs(std::string_view quota_text,
                                            std::string_view period_text) {
  std::optional<std::uint64_t> quota = parse_unsigned(trim(quota_text));
  std::optional<std::uint64_t> period = parse_unsigned(trim(period_text));
  if (!quota || !period || *period == 0) return std::nullopt;
  return *quota / *period;
}

CgroupMembership parse_proc_cgroup(std::string_view text) {
  CgroupMembership found;
  for (std::string_view line : split(text, '\n')) {
    // hierarchy-id:controller-list:path; the path itself may hold colons.
    std::size_t first = line.find(':');
    if (first == std::string_view::npos) continue;
    std::size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    std::string_view id = line.substr(0, first);
    std::string_view controllers = line.substr(first + 1, second - first - 1);
    std::string_view path = line.substr(second + 1);
    if (id == "0" && controllers.empty()) {
      if (!found.unified) found.unified = std::string(path);
    } else if (lists(controllers, "cpu")) {
      if (!found.cpu_v1) found.cpu_v1 = std::string(path);
    }
  }
  return found;
}

std::optional<CgroupMount> find_cpu_v1_mount(std::string_view mountinfo) {
  for (std::string_view line : split(mountinfo, '\n')) {
    // id parent major:minor root mount-point options [optional...] - fstype source super-options
    std::vector<std::string_view> fields;
    for (std::string_view f : split(line, ' ')) {
      if (!f.empty()) fields.push_back(f);
    }
    auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
    if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
    std::string_view fstype = dash[1];
    std::string_view super_options = dash[3];
    if (fstype != "cgroup" || !lists(super_options, "cpu")) continue;
    return CgroupMount{decode_octal_escapes(fields[3]), decode_octal_escapes(fields[4])};
  }
  return std::nullopt;
}

std::optional<std::string> HostFiles::read(const std::string& path) const {
  std::FILE* f = std::fopen((root_ + path).c_str(), "rb");
  if (f == nullptr) return std::nullopt;
  // Files under /proc and /sys report size 0, so read until end of file; the
  // cap only guards against something that never ends.
  constexpr std::size_t kLimit = std::size_t{16} << 20;
  std::string text;
  char chunk[4096];
  bool ok = true;
  for (;;) {
    std::size_t got = std::fread(chunk, 1, sizeof chunk, f);
    text.append(chunk, got);
    if (got < sizeof chunk) {
      ok = !std::ferror(f);
      break;
    }
    if (text.size() > kLimit) {
      ok = false;
      break;
    }
  }
  std::fclose(f);
  if (!ok) return std::nullopt;
  return text;
}

bool HostFiles::exists(const std::string& path) const {
  struct stat st;
  return ::stat((root_ + path).c_str(), &st) == 0;
}

std::optional<std::uint64_t> cgroup_cpu_quota(const HostFiles& files) {
  std::optional<std::string> proc = files.read("/proc/self/cgroup");
  if (!proc) return std::nullopt;
  CgroupMembership member = parse_proc_cgroup(*proc);
  // Only a pure v2 host has cgroup.controllers at the top of /sys/fs/cgroup;
  // a hybrid host keeps its unified tree elsewhere and its cpu controller in v1.
  if (member.unified && files.exists(std::string(kCgroupRoot) + "/cgroup.controllers")) {
    return unified_quota(files, *member.unified);
  }
  if (member.cpu_v1) return v1_quota(files, *member.cpu_v1);
  return std::nullopt;
}

std::size_t cpus_available(std::optional<std::uint64_t> quota,
                           std::optional<std::size_t> affinity_cpus, long online_cpus) {
  std::uint64_t limit = quota ? std::max<std::uint64_t>(*quota, 1)
                              : std::numeric_limits<std::uint64_t>::max();
  auto lowered = [&](std::uint64_t n) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(n, limit));
  };
  if (affinity_cpus && *affinity_cpus > 0) return lowered(*affinity_cpus);
  if (online_cpus > 0) return lowered(static_cast<std::uint64_t>(online_cpus));
  return 1;
}

std::size_t default_thread_count() {
  std::optional<std::uint64_t> quota = cgroup_cpu_quota(HostFiles());

  std::optional<std::size_t> affinity;
  constexpr int kSetCpus = 1024;
  if (cpu_set_t* set = CPU_ALLOC(kSetCpus)) {
    std::size_t bytes = CPU_ALLOC_SIZE(kSetCpus);
    CPU_ZERO_S(bytes, set);
    if (sched_getaffinity(0, bytes, set) == 0) {
      affinity = static_cast<std::size_t>(CPU_COUNT_S(bytes, set));
    }
    CPU_FREE(set);
  }
  return cpus_available(quota, affinity, sysconf(_SC_NPROCESSORS_ONLN));
}

std::size_t configured_thread_count() {
  std::optional<std::string> threads = environment("RAYON_NUM_THREADS");
  std::optional<std::string> cpus = environment("RAYON_RS_NUM_CPUS");
  return choose_thread_count(threads ? std::optional<std::string_view>(*threads) : std::nullopt,
                             cpus ? std::optional<std::string_view>(*cpus) : std::nullopt,
                             &default_thread_count);
}

}  // namespace tarnwick
