// What velmora-query's exit status says.
#pragma once

// 0 done (for --try-rule: a value was found; for queries: every field has a value), 1 the task's
// answer is "no" (no value, or problems in the file), 2 the command line or a file could not be
// used, 3 some queried field has no value (it failed, was blocked, ...), 4 the output could not
// be written (a full disk, a closed standard output): whatever the task found, it did not reach
// its reader.
inline constexpr int kToolDone = 0;
inline constexpr int kToolNo = 1;
inline constexpr int kToolError = 2;
inline constexpr int kToolSomeFailed = 3;
inline constexpr int kToolOutputFailed = 4;
