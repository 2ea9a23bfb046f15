#include "fuzzsupport.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>

// Read by the sanitizer runtimes when they are linked in (scripts/fuzz, scripts/test-sanitized).
// Qt 5.15's JSON parser loses the earlier value of a repeated key when that value is an array or
// an object (QJsonDocument::fromJson("{\"a\":[1],\"a\":[2]}") leaks 80 bytes). The client
// reads messages with its own reader (corpus/framer/regression-leak-* keeps that so); only the
// jsonreader target still calls Qt's parser, as the reference to compare with. Leak checking
// stays on for everything else, and full, deep stacks let the suppression see the parser's
// frame also below the many frames of a deeply nested document.
extern "C" const char *__asan_default_options() {
    return "fast_unwind_on_malloc=0:malloc_context_size=255";
}
extern "C" const char *__lsan_default_suppressions() { return "leak:QJsonDocument::fromJson\n"; }
// Without this a suppressed leak still leaves a report file, which scripts/test-sanitized counts.
extern "C" const char *__lsan_default_options() { return "print_suppressions=0"; }

namespace fuzzsupport {

void setUp() {
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *app = nullptr;
    if (app) return;
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    app = new QCoreApplication(argc, argv);
}

void fail(const char *what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

}  // namespace fuzzsupport
