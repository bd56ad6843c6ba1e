#include "progress.h"

#include <cstdio>
#include <unistd.h>

namespace tqf::convert {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(250);

std::string duration(double seconds) {
    const long total = static_cast<long>(seconds + 0.5);
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

}  // namespace

Progress::Progress(std::string program, std::string verb, bool quiet)
    : Progress(std::move(program), std::move(verb),
               quiet ? Mode::kQuiet : (isatty(STDERR_FILENO) ? Mode::kTerminal : Mode::kSummary)) {}

Progress::Progress(std::string program, std::string verb, Mode mode)
    : m_program(std::move(program)), m_verb(std::move(verb)), m_mode(mode), m_start(std::chrono::steady_clock::now()) {}

std::string Progress::line(uint64_t done, uint64_t total, double seconds) const {
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    const double percent = total > 0 ? 100.0 * static_cast<double>(done) / static_cast<double>(total) : 100.0;
    char text[256];
    std::snprintf(text, sizeof text, "%s: %s %3.0f%%  %llu of %llu tiles  %.0f tiles/s", m_program.c_str(),
                  m_verb.c_str(), percent, static_cast<unsigned long long>(done),
                  static_cast<unsigned long long>(total), rate);
    std::string result = text;
    if (done < total)
        result += "  " + (rate > 0 ? duration(static_cast<double>(total - done) / rate) : std::string("?:??")) +
                  " left";
    return result;
}

void Progress::update(uint64_t done, uint64_t total) {
    if (m_mode != Mode::kTerminal)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto now = std::chrono::steady_clock::now();
    if (m_drawn && now - m_lastDrawn < kRedrawInterval && done < total)
        return;
    m_lastDrawn = now;
    m_drawn = true;
    const std::string text = line(done, total, std::chrono::duration<double>(now - m_start).count());
    // Spaces wipe what a longer earlier line left.
    const size_t pad = m_lastLength > text.size() ? m_lastLength - text.size() : 0;
    std::fprintf(stderr, "\r%s%*s", text.c_str(), static_cast<int>(pad), "");
    std::fflush(stderr);
    m_lastLength = text.size();
}

void Progress::finish(uint64_t total) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    if (m_mode == Mode::kTerminal) {
        update(total, total);
        std::lock_guard<std::mutex> lock(m_mutex);
        std::fprintf(stderr, "  %s\n", duration(seconds).c_str());
        m_drawn = false;
    } else if (m_mode == Mode::kSummary) {
        std::fprintf(stderr, "%s: %s: %llu tiles in %.1f s, %.0f tiles/s\n", m_program.c_str(), m_verb.c_str(),
                     static_cast<unsigned long long>(total), seconds,
                     seconds > 0 ? static_cast<double>(total) / seconds : 0.0);
    }
}

void Progress::interrupt() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_mode == Mode::kTerminal && m_drawn) {
        std::fputc('\n', stderr);
        m_drawn = false;
    }
}

}  // namespace tqf::convert
