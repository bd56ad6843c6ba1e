/*
 * Progress of a long conversion or export on standard error: on a terminal
 * a line that rewrites itself (percentage, tiles per second, time left),
 * elsewhere one summary line at the end, and nothing when quiet.
 */
#ifndef TQF_CONVERT_PROGRESS_H
#define TQF_CONVERT_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace tqf::convert {

class Progress {
public:
    enum class Mode { kTerminal, kSummary, kQuiet };

    // `verb` names the work ("converting", "exporting"); `mode` kSummary or
    // kTerminal is chosen from whether standard error is a terminal.
    Progress(std::string program, std::string verb, bool quiet);
    Progress(std::string program, std::string verb, Mode mode);

    // From any thread: `done` of `total` tiles. Redraws at most a few times
    // a second.
    void update(uint64_t done, uint64_t total);

    // The work is done: the final line, or the summary.
    void finish(uint64_t total);

    // Ends the self-rewriting line before something else is printed.
    void interrupt();

private:
    std::string line(uint64_t done, uint64_t total, double seconds) const;

    const std::string m_program;
    const std::string m_verb;
    const Mode m_mode;
    const std::chrono::steady_clock::time_point m_start;
    std::mutex m_mutex;
    std::chrono::steady_clock::time_point m_lastDrawn;
    bool m_drawn = false;
    size_t m_lastLength = 0;
};

}  // namespace tqf::convert

#endif  // TQF_CONVERT_PROGRESS_H
