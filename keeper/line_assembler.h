// Cuts the bytes a program writes into lines for its log: a line ends at a
// newline, a line longer than kMaxLine is cut into pieces of that length,
// and what is left without a newline is written when the program has gone
// or after kIdleMs without more, so that a prompt or a last word without a
// newline is not held back for good.
#ifndef KEEPER_LINE_ASSEMBLER_H
#define KEEPER_LINE_ASSEMBLER_H

#include <cstddef>
#include <functional>
#include <string>

class LineAssembler {
public:
    static constexpr size_t kMaxLine = 4096;
    static constexpr long long kIdleMs = 1000;
    // Called with each line, without its newline.
    using Sink = std::function<void(const char* line, size_t length)>;

    explicit LineAssembler(Sink sink) : sink(std::move(sink)) {}

    // Bytes read at `now_ms` (any monotonic millisecond count).
    void feed(const char* data, size_t size, long long now_ms);
    // Writes the partial line, if any.
    void flush();
    // Writes the partial line when nothing came for kIdleMs; true while a
    // partial line is still held.
    bool flush_if_idle(long long now_ms);
    bool holding() const { return !partial.empty(); }

private:
    Sink sink;
    std::string partial;
    long long last_ms = 0;
};

#endif
