#include "keeper/metrics_file.h"

#include <cerrno>
#include <cstring>

#include "reactor/ev_engine.h"
#include "support/atomic_file.h"
#include "support/ev_debug.h"

namespace {

constexpr long kPeriod = 1;  // seconds between looks at the status

}  // namespace

MetricsFile::~MetricsFile() {
    if (timer >= 0) engine->delTimer(timer);
}

void MetricsFile::start(const std::string& file) {
    if (file.empty() || timer >= 0) return;
    path = file;
    tick(nullptr);
    timer = engine->addTimer(kPeriod, this, static_cast<EvTimerCb>(&MetricsFile::tick), nullptr,
                             kPeriod);
}

int MetricsFile::tick(void*) {
    std::string text = status_metrics(snapshot());
    if (text != written && write(text)) written.swap(text);
    return 1;
}

bool MetricsFile::write(const std::string& text) {
    AtomicFile file(path.c_str(), 0644);
    file.set_durable(false);
    bool ok = file.stream() && fwrite(text.data(), 1, text.size(), file.stream()) == text.size() &&
              file.commit();
    if (!ok && !failing)
        EV_TRACE(DL_ERROR, "MetricsFile::write, can't write %s (%s)", path.c_str(),
                 strerror(errno));
    failing = !ok;
    return ok;
}
