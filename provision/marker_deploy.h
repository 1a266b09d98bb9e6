#pragma once
// Stage 3: the marker program, shipped next to Kelvane, copied into the
// Windows directory. Reports to the Run log only.

namespace kelvane {

class RunLog;

constexpr int kMarkerCopied = 0;
constexpr int kMarkerCopyFailed = 1;
constexpr int kMarkerSourceMissing = -1;

int DeployMarker(RunLog& log);

}  // namespace kelvane
