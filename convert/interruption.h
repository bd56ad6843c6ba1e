/*
 * What tqf-convert does when it is interrupted.
 */
#ifndef TQF_CONVERT_INTERRUPTION_H
#define TQF_CONVERT_INTERRUPTION_H

namespace tqf::convert {

// From now on SIGINT, SIGTERM and SIGHUP remove the slide being written
// (its temporary file) and end the program with status 128 + the signal,
// whichever thread the signal reaches, threads that libraries started
// before main included. Signals the caller ignores stay ignored.
void removeTemporariesOnInterrupt();

}  // namespace tqf::convert

#endif  // TQF_CONVERT_INTERRUPTION_H
