// kvnotice-write: writes an update-notice file as the updater does, so that
// the tray's notice reader can be exercised in tests and demos.
// Usage: kvnotice-write [--dir DIR] [--date YYYY-MM-DD] NAME TEXT
//   DIR defaults to /opt/korvane/desktop/download/status, the date to today
//   (the key changes daily); NAME should end in ".kvupupdate".
#include <glib.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "update_notice.hpp"

namespace {

int usage() {
    std::fputs("usage: kvnotice-write [--dir DIR] [--date YYYY-MM-DD] NAME TEXT\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = kv::svc::kUpdateNoticeDir;
    const char* date = nullptr;
    int i = 1;
    for (; i + 1 < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
        if (std::strcmp(argv[i], "--dir") == 0)
            dir = argv[i + 1];
        else if (std::strcmp(argv[i], "--date") == 0)
            date = argv[i + 1];
        else
            return usage();
    }
    if (argc - i != 2 || std::strchr(argv[i], '/') != nullptr)
        return usage();
    std::uint8_t key[32];
    if (date != nullptr) {
        int y = 0, m = 0, d = 0;
        if (std::sscanf(date, "%d-%d-%d", &y, &m, &d) != 3 || !g_date_valid_dmy(static_cast<GDateDay>(d),
                                                                                static_cast<GDateMonth>(m),
                                                                                static_cast<GDateYear>(y)))
            return usage();
        GDate* when = g_date_new_dmy(static_cast<GDateDay>(d), static_cast<GDateMonth>(m), static_cast<GDateYear>(y));
        kv::svc::update_notice_key(d, static_cast<int>(g_date_get_day_of_year(when)),
                                   static_cast<int>(g_date_get_weekday(when)), key);
        g_date_free(when);
    } else {
        kv::svc::update_notice_key_today(key);
    }
    const std::string text = kv::svc::encode_update_notice(argv[i + 1], key);
    if (text.empty() || g_mkdir_with_parents(dir.c_str(), 0755) != 0) {
        std::fprintf(stderr, "kvnotice-write: cannot write in %s\n", dir.c_str());
        return 1;
    }
    const std::string path = dir + "/" + argv[i];
    GError* error = nullptr;
    if (!g_file_set_contents(path.c_str(), text.c_str(), static_cast<gssize>(text.size()), &error)) {
        std::fprintf(stderr, "kvnotice-write: %s\n", error->message);
        g_error_free(error);
        return 1;
    }
    std::printf("%s\n", path.c_str());
    return 0;
}
