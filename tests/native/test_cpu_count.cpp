#include "support/cpu_count.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace tarnwick {
namespace {

using std::nullopt;

struct EnvCase {
  std::optional<std::string_view> num_threads, num_cpus;
  std::size_t expected;  // kDefault when the machine decides
};
constexpr std::size_t kDefault = 7;

class CpuCountEnvironment : public ::testing::TestWithParam<EnvCase> {};

TEST_P(CpuCountEnvironment, PicksVariableOrDefault) {
  int default_calls = 0;
  std::size_t got = choose_thread_count(GetParam().num_threads, GetParam().num_cpus, [&] {
    ++default_calls;
    return kDefault;
  });
  EXPECT_EQ(got, GetParam().expected);
  EXPECT_EQ(default_calls, GetParam().expected == kDefault ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    CpuCount, CpuCountEnvironment,
    ::testing::Values(
        EnvCase{"4", nullopt, 4}, EnvCase{"+4", "2", 4}, EnvCase{nullopt, nullopt, kDefault},
        // Not a number: the second variable decides.
        EnvCase{" 4", "3", 3}, EnvCase{"4 ", "3", 3}, EnvCase{"-4", "3", 3},
        EnvCase{"four", "3", 3}, EnvCase{"", "3", 3}, EnvCase{"++4", "3", 3},
        EnvCase{"99999999999999999999999", "3", 3}, EnvCase{"18446744073709551616", "3", 3},
        EnvCase{"\xff" "4", "3", 3}, EnvCase{"four", nullopt, kDefault},
        // An explicit 0 means the default; the second variable is not consulted.
        EnvCase{"0", "2", kDefault}, EnvCase{"+0", "2", kDefault}, EnvCase{nullopt, "0", kDefault},
        EnvCase{nullopt, " 2", kDefault}, EnvCase{"x", "+2", 2},
        EnvCase{"100000", nullopt, 65535}, EnvCase{nullopt, "18446744073709551615", 65535},
        EnvCase{"65534", nullopt, 65534}));

TEST(CpuCountEnvironmentDefault, IsCappedAndAtLeastOne) {
  EXPECT_EQ(choose_thread_count(nullopt, nullopt, [] { return std::size_t{100000}; }), 65535u);
  EXPECT_EQ(choose_thread_count("0", nullopt, [] { return std::size_t{0}; }), 1u);
}

TEST(CpuCountQuotaFiles, ReadLimitOverPeriod) {
  for (auto [text, quota] : std::vector<std::pair<const char*, std::optional<std::uint64_t>>>{
           {"150000 100000\n", 1}, {"400000 100000\nignored", 4}, {"50000 100000", 0},
           {"max 100000\n", nullopt}, {"200000 0", nullopt}, {"200000  100000", nullopt},
           {"200000", nullopt}, {"-1 100000", nullopt}, {"", nullopt}}) {
    EXPECT_EQ(quota_from_cpu_max(text), quota) << text;
  }
  EXPECT_EQ(quota_from_cfs("250000\n", "100000\n"), 2u);
  EXPECT_EQ(quota_from_cfs("-1\n", "100000\n"), nullopt);
  EXPECT_EQ(quota_from_cfs("200000\n", "0\n"), nullopt);
}

TEST(CpuCountAvailable, LowersToQuotaAndFallsBack) {
  EXPECT_EQ(cpus_available(nullopt, 8, 16), 8u);
  EXPECT_EQ(cpus_available(3, 8, 16), 3u);
  EXPECT_EQ(cpus_available(0, 8, 16), 1u);  // a quota below one CPU still gets one
  EXPECT_EQ(cpus_available(nullopt, 0, 16), 16u);  // empty mask: online count
  EXPECT_EQ(cpus_available(2, nullopt, 16), 2u);
  EXPECT_EQ(cpus_available(nullopt, nullopt, -1), 1u);
  EXPECT_EQ(cpus_available(nullopt, nullopt, 0), 1u);
}

TEST(CpuCountProcTexts, FindGroupsAndMounts) {
  CgroupMembership m =
      parse_proc_cgroup("4:memory:/m\n2:cpuacct:/no\n3:cpuset:/no\n1:cpu,cpuacct:/a:b\n0::/u\n");
  EXPECT_EQ(m.cpu_v1, "/a:b");
  EXPECT_EQ(m.unified, "/u");
  EXPECT_EQ(parse_proc_cgroup("9:name=systemd:/\n").cpu_v1, nullopt);

  std::optional<CgroupMount> mount = find_cpu_v1_mount(
      "30 22 0:26 / /sys/fs/cgroup/cpuacct rw shared:9 - cgroup cgroup rw,cpuacct\n"
      "31 22 0:27 /docker/ab /mnt/my\\040cg rw shared:10 master:2 - cgroup cgroup rw,cpu\n");
  ASSERT_TRUE(mount);
  EXPECT_EQ(mount->root, "/docker/ab");
  EXPECT_EQ(mount->mount_point, "/mnt/my cg");
}

// A fake root holding /proc/self and /sys/fs/cgroup files.
class CpuCountTree : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/cpu_count_tree_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  void put(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(root_ + path).parent_path());
    std::ofstream(root_ + path) << text;
  }
  void put_cfs(const std::string& dir, const char* quota) {
    put(dir + "/cpu.cfs_quota_us", quota);
    put(dir + "/cpu.cfs_period_us", "100000\n");
  }
  std::optional<std::uint64_t> quota() const { return cgroup_cpu_quota(HostFiles(root_)); }
  std::string root_;
};

TEST_F(CpuCountTree, UnifiedWalkTakesMinimumUpToMount) {
  EXPECT_EQ(quota(), nullopt);
  put("/proc/self/cgroup", "0::/a/b/c\n");
  put("/sys/fs/cgroup/cgroup.controllers", "cpu memory\n");
  put("/sys/fs/cgroup/cpu.max", "200000 100000\n");
  put("/sys/fs/cgroup/a/cpu.max", "max 100000\n");
  put("/sys/fs/cgroup/a/b/cpu.max", "500000 100000\n");
  EXPECT_EQ(quota(), 2u);  // the mount point itself counts
  put("/sys/fs/cgroup/a/b/c/cpu.max", "50000 100000\n");
  EXPECT_EQ(quota(), 0u);
}

TEST_F(CpuCountTree, V1FixedMountReadsEachLevel) {
  // Hybrid host: a unified line, but no cgroup.controllers at the top.
  put("/proc/self/cgroup", "0::/\n3:cpu,cpuacct:/g/h\n");
  put_cfs("/sys/fs/cgroup/cpu,cpuacct", "-1\n");
  put_cfs("/sys/fs/cgroup/cpu,cpuacct/g", "300000\n");
  put_cfs("/sys/fs/cgroup/cpu,cpuacct/g/h", "700000\n");
  EXPECT_EQ(quota(), 3u);
}

TEST_F(CpuCountTree, V1MountFromMountinfoStripsItsRoot) {
  put("/proc/self/cgroup", "5:cpu:/docker/ab/job\n");
  put("/proc/self/mountinfo", "40 22 0:30 /docker/ab /opt/cg rw - cgroup cgroup rw,cpu\n");
  put_cfs("/opt/cg", "900000\n");
  put_cfs("/opt/cg/job", "400000\n");
  EXPECT_EQ(quota(), 4u);
}

}  // namespace
}  // namespace tarnwick
