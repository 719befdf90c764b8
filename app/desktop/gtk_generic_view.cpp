#include "app/desktop/gtk_generic_view.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace bridge {

namespace {

// Spacing in pixels, matching the rows the Audio Unit layer's generic view
// sizes its window by: a margin of 16 around rows 28 pixels apart.
constexpr int kMargin = 16;
constexpr int kRowSpacing = 4;
constexpr int kColumnSpacing = 12;
constexpr int kTextChars = 10;  // wide enough that a changing text leaves the slider where it is

double clampUnit(double v) { return std::isfinite(v) ? std::clamp(v, 0.0, 1.0) : 0.0; }

// The nearest of `steps` evenly spaced positions; a continuous value as it is.
double snap(double v, int steps) {
  if (steps < 2) return v;
  const double last = steps - 1;
  return std::round(v * last) / last;
}

}  // namespace

GtkGenericView::GtkGenericView(std::vector<GenericViewRow> rows, GenericViewSet set, Place place)
    : set_(std::move(set)), place_(std::move(place)), rows_(rows.size()) {
  GtkWidget* grid = gtk_grid_new();
  gtk_grid_set_row_spacing(GTK_GRID(grid), kRowSpacing);
  gtk_grid_set_column_spacing(GTK_GRID(grid), kColumnSpacing);
  gtk_container_set_border_width(GTK_CONTAINER(grid), kMargin);

  for (size_t i = 0; i < rows.size(); ++i) {
    const GenericViewRow& in = rows[i];
    Row& row = rows_[i];
    row.owner = this;
    row.index = static_cast<int>(i);
    row.steps = in.steps;

    GtkWidget* name = gtk_label_new(in.name.c_str());
    gtk_label_set_xalign(GTK_LABEL(name), 0.0f);

    const double step = in.steps >= 2 ? 1.0 / (in.steps - 1) : 0.01;
    row.scale = gtk_scale_new_with_range(GTK_ORIENTATION_HORIZONTAL, 0.0, 1.0, step);
    gtk_scale_set_draw_value(GTK_SCALE(row.scale), FALSE);
    gtk_widget_set_hexpand(row.scale, TRUE);
    gtk_range_set_value(GTK_RANGE(row.scale), clampUnit(in.value));
    gtk_widget_set_sensitive(row.scale, in.writable);
    row.handler = g_signal_connect(row.scale, "value-changed", G_CALLBACK(moved), &row);

    row.text = gtk_label_new(in.text.c_str());
    gtk_label_set_xalign(GTK_LABEL(row.text), 1.0f);
    gtk_label_set_width_chars(GTK_LABEL(row.text), kTextChars);

    const int y = static_cast<int>(i);
    gtk_grid_attach(GTK_GRID(grid), name, 0, y, 1, 1);
    gtk_grid_attach(GTK_GRID(grid), row.scale, 1, y, 1, 1);
    gtk_grid_attach(GTK_GRID(grid), row.text, 2, y, 1, 1);
  }

  root_ = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(root_), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
  gtk_container_add(GTK_CONTAINER(root_), grid);
  // Ours until destruction, also when the window it is in goes first.
  g_object_ref_sink(root_);
}

GtkGenericView::~GtkGenericView() {
  // Destroying takes it out of its window and disconnects the sliders.
  gtk_widget_destroy(root_);
  g_object_unref(root_);
}

bool GtkGenericView::attach(void* parent) {
  if (!place_ || !place_(parent, root_)) return false;
  gtk_widget_show_all(root_);
  return true;
}

void GtkGenericView::update(int index, float value, const std::string& text) {
  if (index < 0 || static_cast<size_t>(index) >= rows_.size()) return;
  Row& row = rows_[static_cast<size_t>(index)];
  g_signal_handler_block(row.scale, row.handler);
  gtk_range_set_value(GTK_RANGE(row.scale), clampUnit(value));
  g_signal_handler_unblock(row.scale, row.handler);
  gtk_label_set_text(GTK_LABEL(row.text), text.c_str());
}

void GtkGenericView::moved(GtkRange* range, gpointer data) {
  auto* row = static_cast<Row*>(data);
  if (row->owner->set_)
    row->owner->set_(row->index, static_cast<float>(snap(clampUnit(gtk_range_get_value(range)), row->steps)));
}

}  // namespace bridge
