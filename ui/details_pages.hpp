// The three pages of the details window (Threats, Exploits, Events): their
// list stores and sortable views, and the rows added to them. Each page
// keeps an index of its rows by the fields it de-duplicates on, so adding a
// record costs the same whatever the list's length. Main loop only.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "hostcache_reader.hpp"

namespace kv::ui {

enum ThreatColumn { kThreatName, kThreatState, kThreatFound, kThreatId, kThreatBits, kThreatColumns };
enum ExploitColumn { kExploitName, kExploitAction, kExploitCount, kExploitPid, kExploitColumns };
enum EventColumn { kEventWhen, kEventCategory, kEventType, kEventDetails, kEventColumns };

struct ThreatsPage {
    GtkWidget* box = nullptr;
    GtkWidget* view = nullptr;
    GtkListStore* store = nullptr;      // shown
    GtkListStore* loading = nullptr;    // filled during a reload, then shown
    GtkWidget* count_label = nullptr;
    // ID + state bits -> row of `loading` (or of `store` when not loading).
    std::unordered_map<std::string, GtkTreeIter> rows;
};

struct ExploitsPage {
    GtkWidget* box = nullptr;
    GtkWidget* view = nullptr;
    GtkListStore* store = nullptr;
    std::unordered_set<std::string> rows;   // PID, count, name, action
};

struct EventsPage {
    GtkWidget* box = nullptr;
    GtkWidget* view = nullptr;
    GtkListStore* store = nullptr;
};

// Builds the pages; null when a page could not be made (it is left out).
ThreatsPage* threats_page_new();
ExploitsPage* exploits_page_new();
EventsPage* events_page_new();
void threats_page_free(ThreatsPage* page);
void exploits_page_free(ExploitsPage* page);
void events_page_free(EventsPage* page);

// A reload: rows go to a fresh store that replaces the shown one at the
// end, with the shown one's sort order, so the list never shows half a file.
void threats_begin_reload(ThreatsPage& page, std::size_t expected_rows);
void threats_end_reload(ThreatsPage& page);
// Adds the record or counts it as found again; true when it is an
// Unsafe-only threat (the caller's unsafe counter).
bool add_threat_row(ThreatsPage& page, const ThreatRecord& record);
void set_analyzed_count(ThreatsPage& page, std::int64_t count);

void add_exploit_row(ExploitsPage& page, const ExploitRecord& record);
void add_event_row(EventsPage& page, const EventRecord& record);

}  // namespace kv::ui
