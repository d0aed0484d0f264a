#include "keeper/crash_report.h"

#include <execinfo.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unwind.h>

#include <csignal>
#include <cstdio>
#include <ctime>

#include "support/appliance.h"
#include "support/file_utils.h"

namespace {

const int kMaxFrames = 200;

char folder_path[256];
char file_base[256];  // empty: nothing prepared, no file written
// Seconds to add to UTC for local time; the loop may change it while a
// handler reads it.
volatile sig_atomic_t utc_offset = 0;

// Text built in a fixed buffer by hand, as a signal handler may.
class Text {
public:
    Text(char* out, size_t size) : start(out), at(out), last(out + size - 1) {}
    Text& add(const char* text) {
        while (*text) put(*text++);
        return *this;
    }
    Text& add(long long number) {
        if (number < 0) put('-');
        unsigned long long rest = number < 0 ? 0ULL - number : number;
        char digits[20];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + rest % 10);
            rest /= 10;
        } while (rest > 0);
        while (count > 0) put(digits[--count]);
        return *this;
    }
    // Ends the text; false, and the text empty, when it did not fit.
    bool finish() {
        if (overflow) at = start;
        *at = '\0';
        return !overflow;
    }
    size_t length() const { return static_cast<size_t>(at - start); }

private:
    void put(char c) {
        if (at < last)
            *at++ = c;
        else
            overflow = true;
    }

    char* start;
    char* at;
    char* last;  // room for the closing NUL
    bool overflow = false;
};

struct Frames {
    void** address;
    int count;  // -1 until the collector's own frame is passed
    int max;
};

_Unwind_Reason_Code note_frame(_Unwind_Context* context, void* arg) {
    Frames& frames = *static_cast<Frames*>(arg);
    if (frames.count >= 0)
        frames.address[frames.count] = reinterpret_cast<void*>(_Unwind_GetIP(context));
    return ++frames.count == frames.max ? _URC_END_OF_STACK : _URC_NO_REASON;
}

// The caller's stack, as backtrace() gives it, through the unwinder linked
// into the program: the C library's loads libgcc_s on its first call, which
// a signal handler may not do, and the library then stays mapped for as
// long as the daemon runs. Not inlined: its own frame is the one left out.
__attribute__((noinline)) int stack_frames(void** address, int max) {
    Frames frames{address, -1, max};
    _Unwind_Backtrace(note_frame, &frames);
    // Above the program's entry the unwinder reports a null address.
    if (frames.count > 1 && address[frames.count - 1] == nullptr) --frames.count;
    return frames.count < 0 ? 0 : frames.count;
}

struct Civil {
    long long year;
    int month;  // 1 to 12
    int day;
    int hour;
    int minute;
};

// The calendar date in whole integers: days are counted in 400-year eras
// of 146097 days from 1 March of year 0, so that a leap day ends its year.
Civil civil_from_seconds(long long seconds) {
    long long days = seconds / 86400;
    long long rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    days += 719468;  // 1 January 1970 from 1 March of year 0
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long day_of_era = days - era * 146097;
    const long long year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const long long day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const long long month_from_march = (5 * day_of_year + 2) / 153;
    Civil civil;
    civil.day = static_cast<int>(day_of_year - (153 * month_from_march + 2) / 5 + 1);
    civil.month =
        static_cast<int>(month_from_march < 10 ? month_from_march + 3 : month_from_march - 9);
    civil.year = era * 400 + year_of_era + (civil.month <= 2 ? 1 : 0);
    civil.hour = static_cast<int>(rest / 3600);
    civil.minute = static_cast<int>(rest % 3600 / 60);
    return civil;
}

}  // namespace

bool crash_file_name(char* out, size_t size, const char* base, long long local) {
    if (size == 0) return false;
    const Civil when = civil_from_seconds(local);
    Text name(out, size);
    name.add(base).add("_").add(when.year).add(".").add(when.month).add(".").add(when.day);
    name.add(".").add(when.hour).add(".").add(when.minute);
    return name.finish();
}

void crash_report_prepare(const char* folder) {
    snprintf(folder_path, sizeof folder_path, "%s", folder);
    const int length = snprintf(file_base, sizeof file_base, "%s%s", folder, APP_BT_FILE_NAME);
    if (length < 0 || static_cast<size_t>(length) >= sizeof file_base) file_base[0] = '\0';
    crash_report_refresh_clock();
}

void crash_report_refresh_clock() {
    tzset();  // reads a replaced time zone file again
    const time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local)) utc_offset = static_cast<sig_atomic_t>(local.tm_gmtoff);
}

void crash_report_notice(int sig) {
    char line[64];
    Text text(line, sizeof line);
    text.add("Terminate: Raising signal ").add(sig).add(" !!!\n");
    if (!text.finish()) return;
    // Nothing is left to do about a failed write on the way down.
    const ssize_t written = write(STDERR_FILENO, line, text.length());
    static_cast<void>(written);
}

void crash_report_write() {
    struct timespec now;
    char path[sizeof file_base + 32];
    if (file_base[0] == '\0' || clock_gettime(CLOCK_REALTIME, &now) != 0 ||
        !crash_file_name(path, sizeof path, file_base, now.tv_sec + utc_offset))
        return;
    // Nobody else may put files where the daemon, as root, writes.
    mkdir(folder_path, 0755);
    const int fd = openLogFile(path, true);
    if (fd < 0) return;
    void* frames[kMaxFrames];
    const int count = stack_frames(frames, kMaxFrames);
    // The daemon exports no symbols: its own frames read as offsets in its
    // file, "vardo(+0x1f2e3)", for addr2line; library frames keep their
    // names.
    backtrace_symbols_fd(frames, count, fd);
    close(fd);
}
