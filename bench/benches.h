// The benchmark groups; each prints its own Markdown table.
#pragma once

namespace bench {

void run_alloc_benches(int repetitions);

}  // namespace bench
