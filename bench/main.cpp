// corvin-bench: speed and memory figures of the core library. Not a test: nothing here fails
// a build; the targets are printed beside the figures.
//
//     corvin-bench <section|all> [options]
//
// A new section is one function in a .cpp of its own and one row in the table below.

#include "BenchCommon.h"
#include "CopyBench.h"
#include "HashBench.h"
#include "LogBench.h"
#include "SmallFilesBench.h"
#include "VerifyBench.h"

#include <QCoreApplication>

namespace {

const Bench::Section sections[] = {
        {"hash",
         "getFileMd5 vs md5sum (--size MiB, --file-size MiB, --rounds N, --sparse-size MiB, "
         "--dir PATH, --keep)",
         &Bench::runHash},
        {"verify",
         "verification of several courseware vs md5sum -P2, of one vs md5sum, from the cache, "
         "GUI-thread block (--courseware N, --files N, --file-size MiB, --rounds N, --dir PATH, "
         "--keep)",
         &Bench::runVerify},
        {"copy",
         "resource copy vs cp -r, GUI-thread block (--size MiB, --file-size MiB, --rounds N, "
         "--dir PATH, --keep)",
         &Bench::runCopy},
        {"cold",
         "verification of several courseware vs md5sum -P2 and vs two cat at once (the disk's "
         "pace), the page cache emptied before each pass (root only; --courseware N, --files N, "
         "--file-size MiB, --rounds N, --dir PATH)",
         &Bench::runCold},
        {"log", "what a log record costs, written at once and in batches (--files N, --dir PATH)",
         &Bench::runLog},
        {"small",
         "many small files as a teacher's run meets them, log file included: verification vs "
         "md5sum -P2, copy vs cp -r (--files N, --file-kib KiB, --folders N, --rounds N, --dir "
         "PATH, --keep, --deleted-age seconds between a removal and the next copies)",
         &Bench::runSmallFiles},
};

void usage()
{
    Bench::print(QStringLiteral("usage: corvin-bench <section|all> [options]"));
    for (const Bench::Section &section : sections)
        Bench::print(QStringLiteral("  %1  %2")
                             .arg(QLatin1String(section.name), QLatin1String(section.summary)));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const QString name = args.isEmpty() ? QStringLiteral("all") : args.takeFirst();
    if (name == QLatin1String("-h") || name == QLatin1String("--help")) {
        usage();
        return 0;
    }

    int result = 0;
    bool found = false;
    for (const Bench::Section &section : sections) {
        if (name != QLatin1String("all") && name != QLatin1String(section.name))
            continue;
        found = true;
        Bench::print(QStringLiteral("== %1").arg(QLatin1String(section.name)));
        const int code = section.run(args);
        if (code != 0)
            result = code;
    }
    if (!found) {
        Bench::print(QStringLiteral("no section named %1").arg(name));
        usage();
        return 2;
    }
    return result;
}
