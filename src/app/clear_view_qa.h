// The Clear View composite check (`corvane --qa-composite D S O`): reads the overlay manager's
// diagnostic dump from D ("state.json", "report.txt" and the mirrors' "source-N.png" frames) and the
// picture S that a screen share recorded of the main screen at the same moment, composites what the
// local user sees (the share's picture with every live mirror plate drawn over its frost), and checks
// that frost and mirrors are stacked as Clear View needs:
//
//   - every visible plate has a frost, stands at its frost's level, directly above it in the window
//     order, and within its frost's frame;
//   - the share shows no content of a covered window where its frost stands (compared with the
//     window's own frame from the dump when there is one; otherwise the frost must be soft, as a
//     blur is, rather than show the sharp edges of a window's content).
//
// Each finding is one line on `out` beginning "PASS ", "FAIL " or "INFO ". O receives "checks.txt"
// (the same lines), "local-composite.png" and one "source-N.png" per source frame read. The result is
// 0 when nothing failed, 1 otherwise; a dump or picture that cannot be read gives a "qa: " message on
// `err` and 1.
#pragma once

#include <iosfwd>
#include <string>

namespace corvane::ClearViewQA {

int run(const std::string& dumpDir, const std::string& sharePath, const std::string& outDir, std::ostream& out,
        std::ostream& err);

}  // namespace corvane::ClearViewQA
