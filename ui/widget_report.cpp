// Test-only: linked into korvaneui_widget_report, never into korvaneui. Owns
// "com.korvane.guard.widgets" on the session bus and reports the program's
// toplevel windows as the user would read them (titles, labels, notebook
// tabs, the rows of every list in the order shown) as JSON, and clicks
// column headers, switches notebook pages and closes windows as a user
// would. Everything runs on the main loop (GDBus dispatches there).
#include <gio/gio.h>
#include <gtk/gtk.h>
#include <json-c/json.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr char kIntrospection[] =
    "<node><interface name='com.korvane.guard.widgets'>"
    "<method name='describe'><arg type='s' direction='out'/></method>"
    "<method name='clickColumn'><arg type='s' direction='in'/><arg type='i' direction='in'/>"
    "<arg type='i' direction='in'/></method>"
    "<method name='showPage'><arg type='s' direction='in'/><arg type='i' direction='in'/></method>"
    "<method name='closeWindow'><arg type='s' direction='in'/></method>"
    "<method name='moveWindow'><arg type='s' direction='in'/><arg type='i' direction='in'/>"
    "<arg type='i' direction='in'/><arg type='i' direction='in'/><arg type='i' direction='in'/></method>"
    "</interface></node>";

GDBusNodeInfo* g_node = nullptr;

std::string cell_text(GtkTreeModel* model, GtkTreeIter* iter, int column) {
    GValue value = G_VALUE_INIT;
    gtk_tree_model_get_value(model, iter, column, &value);
    GValue text = G_VALUE_INIT;
    g_value_init(&text, G_TYPE_STRING);
    std::string out;
    if (g_value_transform(&value, &text) && g_value_get_string(&text) != nullptr)
        out = g_value_get_string(&text);
    g_value_unset(&text);
    g_value_unset(&value);
    return out;
}

json_object* describe_list(GtkTreeView* view) {
    json_object* list = json_object_new_object();
    json_object* columns = json_object_new_array();
    GList* all = gtk_tree_view_get_columns(view);
    for (GList* c = all; c != nullptr; c = c->next) {
        GtkTreeViewColumn* column = GTK_TREE_VIEW_COLUMN(c->data);
        json_object* col = json_object_new_object();
        json_object_object_add(col, "title", json_object_new_string(gtk_tree_view_column_get_title(column)));
        json_object_object_add(col, "width", json_object_new_int(gtk_tree_view_column_get_width(column)));
        json_object_array_add(columns, col);
    }
    g_list_free(all);
    json_object_object_add(list, "columns", columns);
    GtkTreeModel* model = gtk_tree_view_get_model(view);
    gint sort_column = -1;
    GtkSortType order = GTK_SORT_ASCENDING;
    if (model != nullptr && GTK_IS_TREE_SORTABLE(model) &&
        gtk_tree_sortable_get_sort_column_id(GTK_TREE_SORTABLE(model), &sort_column, &order)) {
        json_object_object_add(list, "sort_column", json_object_new_int(sort_column));
        json_object_object_add(list, "sort_order",
                               json_object_new_string(order == GTK_SORT_ASCENDING ? "ascending" : "descending"));
    }
    json_object* rows = json_object_new_array();
    GtkTreeIter iter;
    if (model != nullptr && gtk_tree_model_get_iter_first(model, &iter)) {
        const int n = gtk_tree_model_get_n_columns(model);
        do {
            json_object* row = json_object_new_array();
            for (int i = 0; i < n; ++i)
                json_object_array_add(row, json_object_new_string(cell_text(model, &iter, i).c_str()));
            json_object_array_add(rows, row);
        } while (gtk_tree_model_iter_next(model, &iter));
    }
    json_object_object_add(list, "rows", rows);
    return list;
}

struct Walk {
    json_object* labels;
    json_object* lists;
    json_object* notebooks;
    int images;
};

void walk(GtkWidget* widget, gpointer data) {
    auto* w = static_cast<Walk*>(data);
    if (GTK_IS_LABEL(widget) && gtk_widget_get_visible(widget))
        json_object_array_add(w->labels, json_object_new_string(gtk_label_get_text(GTK_LABEL(widget))));
    if (GTK_IS_IMAGE(widget) && gtk_image_get_storage_type(GTK_IMAGE(widget)) != GTK_IMAGE_EMPTY)
        ++w->images;
    if (GTK_IS_TREE_VIEW(widget)) {
        json_object_array_add(w->lists, describe_list(GTK_TREE_VIEW(widget)));
        return;
    }
    if (GTK_IS_NOTEBOOK(widget)) {
        GtkNotebook* nb = GTK_NOTEBOOK(widget);
        json_object* o = json_object_new_object();
        json_object* tabs = json_object_new_array();
        for (int i = 0; i < gtk_notebook_get_n_pages(nb); ++i) {
            GtkWidget* tab = gtk_notebook_get_tab_label(nb, gtk_notebook_get_nth_page(nb, i));
            json_object_array_add(tabs, json_object_new_string(GTK_IS_LABEL(tab) ? gtk_label_get_text(GTK_LABEL(tab))
                                                                                  : ""));
        }
        json_object_object_add(o, "tabs", tabs);
        json_object_object_add(o, "page", json_object_new_int(gtk_notebook_get_current_page(nb)));
        json_object_array_add(w->notebooks, o);
    }
    if (GTK_IS_CONTAINER(widget))
        gtk_container_forall(GTK_CONTAINER(widget), walk, data);
}

std::string describe() {
    json_object* root = json_object_new_object();
    json_object* windows = json_object_new_array();
    GList* tops = gtk_window_list_toplevels();
    for (GList* t = tops; t != nullptr; t = t->next) {
        GtkWidget* window = GTK_WIDGET(t->data);
        if (gtk_window_get_window_type(GTK_WINDOW(window)) != GTK_WINDOW_TOPLEVEL)
            continue;
        json_object* o = json_object_new_object();
        char id[32];
        (void)std::snprintf(id, sizeof id, "%p", static_cast<void*>(window));
        json_object_object_add(o, "id", json_object_new_string(id));
        json_object_object_add(o, "name", json_object_new_string(gtk_widget_get_name(window)));
        const char* title = gtk_window_get_title(GTK_WINDOW(window));
        json_object_object_add(o, "title", json_object_new_string(title != nullptr ? title : ""));
        json_object_object_add(o, "visible", json_object_new_boolean(gtk_widget_get_visible(window)));
        json_object_object_add(o, "has_icon", json_object_new_boolean(gtk_window_get_icon(GTK_WINDOW(window)) != nullptr));
        Walk w{json_object_new_array(), json_object_new_array(), json_object_new_array(), 0};
        gtk_container_forall(GTK_CONTAINER(window), walk, &w);
        json_object_object_add(o, "labels", w.labels);
        json_object_object_add(o, "lists", w.lists);
        json_object_object_add(o, "notebooks", w.notebooks);
        json_object_object_add(o, "images", json_object_new_int(w.images));
        json_object_array_add(windows, o);
    }
    g_list_free(tops);
    json_object_object_add(root, "windows", windows);
    std::string out = json_object_to_json_string_ext(root, JSON_C_TO_STRING_PLAIN);
    json_object_put(root);
    return out;
}

GtkWidget* find_window(const char* name) {
    GtkWidget* found = nullptr;
    GList* tops = gtk_window_list_toplevels();
    for (GList* t = tops; t != nullptr; t = t->next) {
        if (std::strcmp(gtk_widget_get_name(GTK_WIDGET(t->data)), name) == 0)
            found = GTK_WIDGET(t->data);
    }
    g_list_free(tops);
    return found;
}

struct Finder {
    GType type;
    GtkWidget* found;
};

void find_first(GtkWidget* widget, gpointer data) {
    auto* f = static_cast<Finder*>(data);
    if (f->found != nullptr)
        return;
    if (G_TYPE_CHECK_INSTANCE_TYPE(widget, f->type)) {
        f->found = widget;
        return;
    }
    if (GTK_IS_CONTAINER(widget))
        gtk_container_forall(GTK_CONTAINER(widget), find_first, data);
}

GtkWidget* find_in(GtkWidget* root, GType type) {
    Finder f{type, nullptr};
    if (root != nullptr)
        gtk_container_forall(GTK_CONTAINER(root), find_first, &f);
    return f.found;
}

void on_method(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method, GVariant* params,
               GDBusMethodInvocation* invocation, gpointer) {
    if (std::strcmp(method, "describe") == 0) {
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(s)", describe().c_str()));
        return;
    }
    if (std::strcmp(method, "clickColumn") == 0 || std::strcmp(method, "showPage") == 0) {
        const gchar* name = nullptr;
        gint page = 0, column = 0;
        if (std::strcmp(method, "clickColumn") == 0)
            g_variant_get(params, "(&sii)", &name, &page, &column);
        else
            g_variant_get(params, "(&si)", &name, &page);
        GtkWidget* nb = find_in(find_window(name), GTK_TYPE_NOTEBOOK);
        if (nb == nullptr || page < 0 || page >= gtk_notebook_get_n_pages(GTK_NOTEBOOK(nb))) {
            g_dbus_method_invocation_return_dbus_error(invocation, "com.korvane.guard.widgets.NotFound", name);
            return;
        }
        gtk_notebook_set_current_page(GTK_NOTEBOOK(nb), page);
        if (std::strcmp(method, "clickColumn") == 0) {
            GtkWidget* page_widget = gtk_notebook_get_nth_page(GTK_NOTEBOOK(nb), page);
            GtkWidget* view = GTK_IS_CONTAINER(page_widget) ? find_in(page_widget, GTK_TYPE_TREE_VIEW) : nullptr;
            GtkTreeViewColumn* c = view != nullptr ? gtk_tree_view_get_column(GTK_TREE_VIEW(view), column) : nullptr;
            if (c == nullptr) {
                g_dbus_method_invocation_return_dbus_error(invocation, "com.korvane.guard.widgets.NotFound", "column");
                return;
            }
            gtk_tree_view_column_clicked(c);
        }
        g_dbus_method_invocation_return_value(invocation, nullptr);
        return;
    }
    if (std::strcmp(method, "closeWindow") == 0 || std::strcmp(method, "moveWindow") == 0) {
        const gchar* name = nullptr;
        gint x = 0, y = 0, width = 0, height = 0;
        if (std::strcmp(method, "closeWindow") == 0)
            g_variant_get(params, "(&s)", &name);
        else
            g_variant_get(params, "(&siiii)", &name, &x, &y, &width, &height);
        GtkWidget* window = find_window(name);
        if (window == nullptr || gtk_widget_get_window(window) == nullptr) {
            g_dbus_method_invocation_return_dbus_error(invocation, "com.korvane.guard.widgets.NotFound", name);
            return;
        }
        if (std::strcmp(method, "closeWindow") == 0) {
            // What a window manager's close button causes: a delete event.
            GdkEvent* event = gdk_event_new(GDK_DELETE);
            event->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(window)));
            event->any.send_event = TRUE;
            gtk_main_do_event(event);
            gdk_event_free(event);
        } else {
            gtk_window_move(GTK_WINDOW(window), x, y);
            if (width > 0 && height > 0)
                gtk_window_resize(GTK_WINDOW(window), width, height);
        }
        g_dbus_method_invocation_return_value(invocation, nullptr);
        return;
    }
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.UnknownMethod", method);
}

void on_bus(GDBusConnection* connection, const gchar*, gpointer) {
    static const GDBusInterfaceVTable vtable = {on_method, nullptr, nullptr, {}};
    (void)g_dbus_connection_register_object(connection, "/widgets", g_node->interfaces[0], &vtable, nullptr, nullptr,
                                            nullptr);
}

gboolean start_widget_report(gpointer) {
    g_node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
    (void)g_bus_own_name(G_BUS_TYPE_SESSION, "com.korvane.guard.widgets", G_BUS_NAME_OWNER_FLAGS_NONE, on_bus,
                         nullptr, nullptr, nullptr, nullptr);
    return G_SOURCE_REMOVE;
}

// Runs when the main loop first runs, after start-up.
[[gnu::constructor]] void queue_widget_report() { (void)g_idle_add(start_widget_report, nullptr); }

}  // namespace
