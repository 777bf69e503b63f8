#pragma once

// How many processors this process may use, which sizes the worker pools.

namespace quastor {

// The processors this process may run on: its CPU affinity, capped by the
// cgroup CPU quota (v2 cpu.max, or v1 cpu.cfs_quota_us / cpu.cfs_period_us);
// 1 when neither can be read.
unsigned available_processors();

} // namespace quastor
