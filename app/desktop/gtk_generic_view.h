#pragma once
// The generic view of a plug-in's parameters in GTK, for plug-ins without a
// view of their own: one row per parameter with its name, a slider over the
// normalised value and the value's text, in a column that fills the editor
// window it is put in and scrolls when the rows do not fit.
//
// A slider the user moves sets the parameter through `set`; update() moves a
// slider without calling `set`, so a change echoed back by the plug-in never
// comes round again.
//
// Threads: main thread only, after openDisplay() succeeded.
#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hosting/editor_window.h"

namespace bridge {

class GtkGenericView final : public GenericView {
 public:
  // Puts the view's widget into the window behind a native parent; false when
  // there is no such window.
  using Place = std::function<bool(void* parent, GtkWidget* view)>;

  GtkGenericView(std::vector<GenericViewRow> rows, GenericViewSet set, Place place);
  // Takes the widgets out of the window, which must still exist or have been
  // destroyed already.
  ~GtkGenericView() override;
  GtkGenericView(const GtkGenericView&) = delete;
  GtkGenericView& operator=(const GtkGenericView&) = delete;

  bool attach(void* parent) override;
  void update(int row, float value, const std::string& text) override;

  // For tests: the whole view, and a row's slider and value text.
  GtkWidget* widget() const { return root_; }
  GtkWidget* slider(size_t row) const { return row < rows_.size() ? rows_[row].scale : nullptr; }
  GtkWidget* valueText(size_t row) const { return row < rows_.size() ? rows_[row].text : nullptr; }

 private:
  struct Row {
    GtkGenericView* owner = nullptr;
    int index = 0;
    int steps = 0;
    GtkWidget* scale = nullptr;
    GtkWidget* text = nullptr;
    gulong handler = 0;
  };
  static void moved(GtkRange* range, gpointer row);

  GenericViewSet set_;
  Place place_;
  GtkWidget* root_ = nullptr;  // referenced by us until destruction
  std::vector<Row> rows_;
};

}  // namespace bridge
