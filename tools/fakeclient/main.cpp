// corvin-fake-client: a stand-in for a student client, for the demo and the tests.
//   corvin-fake-client            records its start the way Corvin starts a client (no
//                                 arguments): a line "<date> <time> <client> started", then
//                                 every entry below the client's resource folder, sorted, are
//                                 appended to <client folder>/../../client-started.log
//   corvin-fake-client N          only waits N seconds: a client that is still running
// The client folder is the program's own folder, or the one above it when that is "bin"; the
// client is named after it.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace {

fs::path ownPath(const char *argv0)
{
#ifdef _WIN32
    (void)argv0;
    std::wstring buffer(32768, L'\0');
    buffer.resize(GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size())));
    return fs::path(buffer);
#else
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::absolute(argv0) : self;
#endif
}

std::string text(const fs::path &path)
{
    const auto utf8 = path.generic_u8string();
    return std::string(utf8.begin(), utf8.end());
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 1) {
        std::this_thread::sleep_for(std::chrono::seconds(std::atoi(argv[1])));
        return 0;
    }

    fs::path client = ownPath(argv[0]).parent_path();
    if (client.filename() == "bin")
        client = client.parent_path();
    const fs::path record = client.parent_path().parent_path() / "client-started.log";

    std::vector<std::string> entries;
    const fs::path resource = client / "resource";
    std::error_code error;
    if (fs::is_directory(resource, error)) {
        entries.push_back(text(resource));
        for (fs::recursive_directory_iterator it(resource, error), end; !error && it != end;
             it.increment(error))
            entries.push_back(text(it->path()));
    } else {
        entries.push_back("no resource folder: " + text(resource));
    }
    std::sort(entries.begin(), entries.end());

    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    std::ofstream out(record, std::ios::app | std::ios::binary);
    out << stamp << ' ' << text(client.filename()) << " started\n";
    for (const std::string &entry : entries)
        out << entry << '\n';
    return out.good() ? 0 : 1;
}
