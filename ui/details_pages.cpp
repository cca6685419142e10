// The details window's pages.
#include "details_pages.hpp"

#include <glib/gi18n.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "host_cache.hpp"
#include "text_sanitiser.hpp"
#include "threat_event_text.hpp"
#include "ui_log.hpp"

namespace kv::ui {
namespace {

struct ColumnLayout {
    const char* title_msgid;
    int store_column;
    bool resizable;
};

// A scrolled tree view over `store` with one sortable text column for each layout entry.
GtkWidget* make_list(GtkListStore* store, const ColumnLayout* columns, std::size_t n, GtkWidget** ret_view) {
    GtkWidget* scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(scrolled), GTK_SHADOW_ETCHED_IN);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
    GtkWidget* view = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store));
    for (std::size_t i = 0; i < n; ++i) {
        GtkCellRenderer* renderer = gtk_cell_renderer_text_new();
        GtkTreeViewColumn* column = gtk_tree_view_column_new_with_attributes(_(columns[i].title_msgid), renderer,
                                                                             "text", columns[i].store_column, nullptr);
        gtk_tree_view_column_set_sort_column_id(column, columns[i].store_column);
        gtk_tree_view_column_set_resizable(column, columns[i].resizable);
        gtk_tree_view_append_column(GTK_TREE_VIEW(view), column);
    }
    gtk_container_add(GTK_CONTAINER(scrolled), view);
    *ret_view = view;
    return scrolled;
}

GtkListStore* new_threat_store() {
    return gtk_list_store_new(kThreatColumns, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_UINT, G_TYPE_STRING, G_TYPE_UINT);
}

std::string threat_key(const std::string& id, std::uint32_t bits) {
    std::string key = id;
    key.push_back('\0');
    key.append(reinterpret_cast<const char*>(&bits), sizeof bits);
    return key;
}

std::string exploit_key(std::uint32_t pid, std::uint32_t count, const std::string& name, const std::string& action) {
    std::string key;
    key.append(reinterpret_cast<const char*>(&pid), sizeof pid);
    key.append(reinterpret_cast<const char*>(&count), sizeof count);
    key += name;
    key.push_back('\0');
    key += action;
    return key;
}

bool fits_u32(std::int64_t v) noexcept { return v >= 0 && v <= 0xFFFFFFFFLL; }

// The page's box: the list over all the room there is, `bottom` below it.
GtkWidget* page_box(GtkListStore* store, const ColumnLayout* columns, std::size_t n, GtkWidget** ret_view,
                    GtkWidget* bottom) {
    GtkWidget* box = gtk_vbox_new(FALSE, 4);
    gtk_box_pack_start(GTK_BOX(box), make_list(store, columns, n, ret_view), TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(box), bottom, FALSE, FALSE, 0);
    return box;
}

template <class Page>
void page_free(Page* page) {
    if (page == nullptr)
        return;
    if (page->store != nullptr)
        g_object_unref(page->store);
    delete page;
}

}  // namespace

ThreatsPage* threats_page_new() {
    auto* page = new (std::nothrow) ThreatsPage;
    if (page == nullptr)
        return nullptr;
    page->store = new_threat_store();
    static constexpr ColumnLayout kColumns[] = {{N_("FileName"), kThreatName, true},
                                              {N_("Category"), kThreatState, false},
                                              {N_("Found"), kThreatFound, false},
                                              {N_("ID"), kThreatId, false}};
    GtkWidget* row = gtk_hbox_new(FALSE, 4);
    gtk_container_set_border_width(GTK_CONTAINER(row), 4);
    gtk_box_pack_start(GTK_BOX(row), gtk_label_new(_("HPS_AnalyzedFiles")), FALSE, FALSE, 0);
    page->count_label = gtk_label_new("0");
    gtk_box_pack_start(GTK_BOX(row), page->count_label, FALSE, FALSE, 0);
    page->box = page_box(page->store, kColumns, std::size(kColumns), &page->view, row);
    return page;
}

ExploitsPage* exploits_page_new() {
    auto* page = new (std::nothrow) ExploitsPage;
    if (page == nullptr)
        return nullptr;
    page->store = gtk_list_store_new(kExploitColumns, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_UINT, G_TYPE_UINT);
    static constexpr ColumnLayout kColumns[] = {{N_("ProcessName"), kExploitName, true},
                                              {N_("Category"), kExploitAction, false},
                                              {N_("Found"), kExploitCount, false},
                                              {N_("PID"), kExploitPid, false}};
    page->box = page_box(page->store, kColumns, std::size(kColumns), &page->view, gtk_hbox_new(FALSE, 4));
    return page;
}

EventsPage* events_page_new() {
    auto* page = new (std::nothrow) EventsPage;
    if (page == nullptr)
        return nullptr;
    page->store = gtk_list_store_new(kEventColumns, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING);
    static constexpr ColumnLayout kColumns[] = {{N_("HPS_ColWhen"), kEventWhen, true},
                                              {N_("HPS_ColCategory"), kEventCategory, true},
                                              {N_("HPS_ColType"), kEventType, true},
                                              {N_("HPS_ColDetails"), kEventDetails, true}};
    page->box = page_box(page->store, kColumns, std::size(kColumns), &page->view, gtk_hbox_new(FALSE, 4));
    return page;
}

void threats_page_free(ThreatsPage* page) {
    if (page != nullptr && page->loading != nullptr)
        g_object_unref(page->loading);
    page_free(page);
}

void exploits_page_free(ExploitsPage* page) { page_free(page); }

void events_page_free(EventsPage* page) { page_free(page); }

void threats_begin_reload(ThreatsPage& page, std::size_t expected_rows) {
    if (page.loading != nullptr)
        g_object_unref(page.loading);
    page.loading = new_threat_store();
    page.rows.clear();
    page.rows.reserve(expected_rows);
}

void threats_end_reload(ThreatsPage& page) {
    if (page.loading == nullptr)
        return;
    gint sort_column = 0;
    GtkSortType order = GTK_SORT_ASCENDING;
    // Sorting once, after the rows are in, keeps the reload linear.
    if (gtk_tree_sortable_get_sort_column_id(GTK_TREE_SORTABLE(page.store), &sort_column, &order))
        gtk_tree_sortable_set_sort_column_id(GTK_TREE_SORTABLE(page.loading), sort_column, order);
    gtk_tree_view_set_model(GTK_TREE_VIEW(page.view), GTK_TREE_MODEL(page.loading));
    g_object_unref(page.store);
    page.store = page.loading;
    page.loading = nullptr;
    gtk_widget_queue_draw(page.view);
}

bool add_threat_row(ThreatsPage& page, const ThreatRecord& r) {
    GtkListStore* store = page.loading != nullptr ? page.loading : page.store;
    auto state = static_cast<std::uint64_t>(r.state);
    const std::string state_text = threat_state_text(static_cast<std::uint32_t>(state));
    verbose_print("file: %s\nid: %s\nscore: %s\nstate: %s\n", r.path.c_str(), r.id.c_str(), r.score.c_str(),
                  state_text.c_str());
    if (state == 0 || state == svc::kFileRunning)
        return false;
    state &= ~std::uint64_t{svc::kFileRunning};
    const auto bits = static_cast<std::uint32_t>(state);
    const std::string key = threat_key(r.id, bits);
    if (fits_u32(static_cast<std::int64_t>(state))) {
        if (const auto found = page.rows.find(key); found != page.rows.end()) {
            GtkTreeIter iter = found->second;
            guint times = 0;
            gtk_tree_model_get(GTK_TREE_MODEL(store), &iter, kThreatFound, &times, -1);
            gtk_list_store_set(store, &iter, kThreatFound, times + 1, -1);
            return state == svc::kFileUnsafe;
        }
    }
    GtkTreeIter iter;
    const std::string name = sanitise_text(last_path_component(r.path));
    const std::string id = sanitise_text(r.id);
    const std::string text = sanitise_text(threat_state_text(bits));
    gtk_list_store_insert_with_values(store, &iter, -1, kThreatName, name.c_str(), kThreatState, text.c_str(),
                                      kThreatFound, 1u, kThreatId, id.c_str(), kThreatBits, bits, -1);
    // The first row with a key is the one a later record finds.
    (void)page.rows.emplace(key, iter);
    return state == svc::kFileUnsafe;
}

void set_analyzed_count(ThreatsPage& page, std::int64_t count) {
    char text[24];
    (void)std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(count));
    gtk_label_set_text(GTK_LABEL(page.count_label), text);
}

void add_exploit_row(ExploitsPage& page, const ExploitRecord& r) {
    verbose_print("path  = %s\nstate = %llu\npid   = %llu\ncount = %llu\n", r.path.c_str(),
                  static_cast<unsigned long long>(r.state), static_cast<unsigned long long>(r.pid),
                  static_cast<unsigned long long>(r.count));
    if (r.state == svc::kActionIgnored)
        return;
    const std::string action = sanitise_text(action_text(static_cast<std::uint64_t>(r.state)));
    const std::string name = sanitise_text(last_path_component(r.path));
    const auto pid = static_cast<std::uint32_t>(r.pid);
    const auto count = static_cast<std::uint32_t>(r.count);
    std::string key = exploit_key(pid, count, name, action);
    if (fits_u32(r.pid) && fits_u32(r.count) && page.rows.count(key) != 0)
        return;
    GtkTreeIter iter;
    gtk_list_store_insert_with_values(page.store, &iter, -1, kExploitName, name.c_str(), kExploitAction,
                                      action.c_str(), kExploitCount, count, kExploitPid, pid, -1);
    page.rows.insert(std::move(key));
}

void add_event_row(EventsPage& page, const EventRecord& r) {
    verbose_print("file: %s\nwhen: %s\ncat: %s\nevent: %llu\nstate: %llu\n", r.path.c_str(), r.when.c_str(),
                  r.category.c_str(), static_cast<unsigned long long>(r.event),
                  static_cast<unsigned long long>(r.state));
    EventRowTexts texts;
    if (!event_row_texts(r, &texts))
        return;
    const std::string when = sanitise_text(r.when), category = sanitise_text(r.category);
    const std::string type = sanitise_text(texts.type), details = sanitise_text(texts.details);
    GtkTreeIter iter;
    gtk_list_store_insert_with_values(page.store, &iter, -1, kEventWhen, when.c_str(), kEventCategory,
                                      category.c_str(), kEventType, type.c_str(), kEventDetails, details.c_str(), -1);
}

}  // namespace kv::ui
