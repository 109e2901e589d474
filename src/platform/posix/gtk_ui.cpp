// The three windows and the message boxes on GTK 3. Layouts follow the Win32
// dialog templates: positions and sizes are in dialog units, converted with
// the base units of the font GTK uses (a quarter of the average character
// width, an eighth of the line height), so the proportions hold for any font.
#include "gtk_ui.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <clocale>
#include <memory>
#include <vector>

#include "platform/text.h"
#include "support/files.h"
#include "support/releaser.h"

namespace platform {
namespace {

enum class Response { Cancel, Ok };

// Owners for what GTK and GLib hand out.
using GlibText = std::unique_ptr<gchar, Releaser<g_free>>;
using GlibList = std::unique_ptr<GList, Releaser<g_list_free>>;
using MainLoop = std::unique_ptr<GMainLoop, Releaser<g_main_loop_unref>>;
template <class T>
using Reference = std::unique_ptr<T, Releaser<g_object_unref>>;
// A top-level window, destroyed with its controls.
using Window = std::unique_ptr<GtkWidget, Releaser<gtk_widget_destroy>>;

std::string utf8(const std::wstring& text) { return utf8_from_wide(text); }

// GTK wants valid UTF-8; a message built from file names or server replies
// may not be.
std::string valid_utf8(const std::string& text) {
  if (g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)) return text;
  const GlibText fixed(g_utf8_make_valid(text.data(), static_cast<gssize>(text.size())));
  return fixed.get();
}

// GTK's own translations of the stock button labels.
const char* stock_label(const char* label) { return g_dgettext("gtk30", label); }

class DialogUnits {
 public:
  explicit DialogUnits(GtkWidget* widget) {
    const Reference<PangoLayout> layout(
        gtk_widget_create_pango_layout(widget, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    int width = 0;
    int height = 0;
    pango_layout_get_pixel_size(layout.get(), &width, &height);
    base_x_ = std::max(1, (width / 26 + 1) / 2);
    base_y_ = std::max(1, height);
  }
  int x(int units) const { return (units * base_x_ + 2) / 4; }
  int y(int units) const { return (units * base_y_ + 4) / 8; }

 private:
  int base_x_;
  int base_y_;
};

// A client area laid out like a dialog template.
class TemplateArea {
 public:
  TemplateArea(GtkWidget* window, int width, int height) : units_(window), fixed_(gtk_fixed_new()) {
    gtk_widget_set_size_request(fixed_, units_.x(width), units_.y(height));
    gtk_container_add(GTK_CONTAINER(window), fixed_);
  }
  // Controls are added in tab order.
  GtkWidget* add(GtkWidget* control, int x, int y, int width, int height) {
    gtk_fixed_put(GTK_FIXED(fixed_), control, units_.x(x), units_.y(y));
    gtk_widget_set_size_request(control, units_.x(width), units_.y(height));
    if (gtk_widget_get_can_focus(control) || GTK_IS_CONTAINER(control)) tab_order_.push_back(control);
    return control;
  }
  // Without it GTK tabs in reading order; the templates start with OK.
  const DialogUnits& units() const { return units_; }
  void apply_tab_order() {
    GList* chain = nullptr;
    for (GtkWidget* control : tab_order_) chain = g_list_append(chain, control);
    const GlibList owned(chain);
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gtk_container_set_focus_chain(GTK_CONTAINER(fixed_), chain);
    G_GNUC_END_IGNORE_DEPRECATIONS
  }

 private:
  DialogUnits units_;
  GtkWidget* fixed_;
  std::vector<GtkWidget*> tab_order_;
};

GtkWidget* static_text(const char* text) {
  GtkWidget* label = gtk_label_new(text);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_label_set_yalign(GTK_LABEL(label), 0.5f);
  return label;
}

GtkWidget* new_window(const std::string& caption) {
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), caption.c_str());
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  gtk_window_set_type_hint(GTK_WINDOW(window), GDK_WINDOW_TYPE_HINT_DIALOG);
  return window;
}

void make_default(GtkWidget* window, GtkWidget* button) {
  gtk_widget_set_can_default(button, TRUE);
  gtk_window_set_default(GTK_WINDOW(window), button);
}

// Processes what is pending without waiting, so a window appears or goes.
void flush_events(unsigned limit) {
  for (unsigned i = 0; i < limit && gtk_events_pending(); ++i) gtk_main_iteration_do(FALSE);
}

// A modal run of a window: OK ends it through end(), everything else
// (Escape, the close box, a button that cancels) as Cancel.
class ModalRun {
 public:
  explicit ModalRun(GtkWidget* window) : window_(window), loop_(g_main_loop_new(nullptr, FALSE)) {
    g_signal_connect(window, "delete-event", G_CALLBACK(on_delete), this);
    g_signal_connect(window, "key-press-event", G_CALLBACK(on_key), this);
  }
  ~ModalRun() {
    window_.reset();
    loop_.reset();
    flush_events(100);
  }
  ModalRun(const ModalRun&) = delete;
  ModalRun& operator=(const ModalRun&) = delete;

  Response run() {
    gtk_window_set_modal(GTK_WINDOW(window()), TRUE);
    gtk_widget_show_all(window());
    gtk_window_present(GTK_WINDOW(window()));
    g_main_loop_run(loop_.get());
    return response_;
  }
  void end(Response response) {
    response_ = response;
    if (g_main_loop_is_running(loop_.get())) g_main_loop_quit(loop_.get());
  }
  GtkWidget* window() const { return window_.get(); }

  static void on_cancel_clicked(GtkButton*, gpointer run) { static_cast<ModalRun*>(run)->end(Response::Cancel); }

 private:
  static gboolean on_delete(GtkWidget*, GdkEvent*, gpointer run) {
    static_cast<ModalRun*>(run)->end(Response::Cancel);
    return TRUE;
  }
  static gboolean on_key(GtkWidget*, GdkEventKey* event, gpointer run) {
    if (event->keyval != GDK_KEY_Escape) return FALSE;
    static_cast<ModalRun*>(run)->end(Response::Cancel);
    return TRUE;
  }

  Window window_;
  MainLoop loop_;
  Response response_ = Response::Cancel;
};

// --- message boxes --------------------------------------------------------

struct MessageBox {
  ModalRun* run;
  static void on_ok(GtkButton*, gpointer box) { static_cast<MessageBox*>(box)->run->end(Response::Ok); }
};

Response message_box(const std::string& caption, const std::string& text, bool yes_no) {
  ModalRun run(new_window(caption));
  MessageBox box{&run};

  GtkWidget* content = gtk_box_new(GTK_ORIENTATION_VERTICAL, 16);
  gtk_container_set_border_width(GTK_CONTAINER(content), 16);
  GtkWidget* label = gtk_label_new(valid_utf8(text).c_str());
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_max_width_chars(GTK_LABEL(label), 70);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_label_set_selectable(GTK_LABEL(label), TRUE);
  gtk_box_pack_start(GTK_BOX(content), label, TRUE, TRUE, 0);

  GtkWidget* buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
  gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
  gtk_box_set_spacing(GTK_BOX(buttons), 8);
  GtkWidget* first = gtk_button_new_with_mnemonic(stock_label(yes_no ? "_Yes" : "_OK"));
  g_signal_connect(first, "clicked", G_CALLBACK(MessageBox::on_ok), &box);
  gtk_container_add(GTK_CONTAINER(buttons), first);
  if (yes_no) {
    GtkWidget* no = gtk_button_new_with_mnemonic(stock_label("_No"));
    g_signal_connect(no, "clicked", G_CALLBACK(ModalRun::on_cancel_clicked), &run);
    gtk_container_add(GTK_CONTAINER(buttons), no);
  }
  gtk_box_pack_start(GTK_BOX(content), buttons, FALSE, FALSE, 0);
  gtk_container_add(GTK_CONTAINER(run.window()), content);

  make_default(run.window(), first);
  gtk_widget_grab_focus(first);
  return run.run();
}

// --- version dialog -------------------------------------------------------

std::wstring pick_folder(GtkWindow* owner, const std::wstring& title, const std::wstring& shown) {
  const Window owned(gtk_file_chooser_dialog_new(
      utf8(title).c_str(), owner, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, stock_label("_Cancel"), GTK_RESPONSE_CANCEL,
      stock_label("_Select"), GTK_RESPONSE_ACCEPT, nullptr));
  GtkWidget* chooser = owned.get();
  gtk_dialog_set_default_response(GTK_DIALOG(chooser), GTK_RESPONSE_ACCEPT);
  gtk_window_set_default_size(GTK_WINDOW(chooser), 720, 480);
  gtk_window_set_position(GTK_WINDOW(chooser), GTK_WIN_POS_CENTER_ON_PARENT);
  if (!shown.empty()) gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), utf8(shown).c_str());
  std::wstring folder;
  if (gtk_dialog_run(GTK_DIALOG(chooser)) == GTK_RESPONSE_ACCEPT) {
    if (const GlibText name{gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser))}) {
      folder = wide_from_utf8(name.get());
    }
  }
  return as_folder_path(folder);
}

struct VersionDialog {
  ModalRun* run = nullptr;
  GtkWidget* ok = nullptr;
  GtkWidget* combo = nullptr;
  GtkWidget* download_only = nullptr;
  GtkWidget* destination_field = nullptr;
  std::wstring picker_title;
  VersionAnswer answer;

  // No OK without a destination: the archive would otherwise land in
  // whatever folder the launcher happened to be started from.
  void show_destination(const std::wstring& destination) {
    answer.destination = destination;
    gtk_entry_set_text(GTK_ENTRY(destination_field), utf8(destination).c_str());
    gtk_widget_set_sensitive(ok, destination.empty() ? FALSE : TRUE);
  }

  static void on_ok(GtkButton*, gpointer data) {
    auto* dialog = static_cast<VersionDialog*>(data);
    if (dialog->answer.destination.empty()) return;
    // -1 when the text field holds something typed rather than an entry.
    dialog->answer.selected_index = gtk_combo_box_get_active(GTK_COMBO_BOX(dialog->combo));
    dialog->answer.download_only = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(dialog->download_only)) != FALSE;
    dialog->run->end(Response::Ok);
  }
  static void on_pick(GtkButton*, gpointer data) {
    auto* dialog = static_cast<VersionDialog*>(data);
    // A cancelled picker clears the destination, as the field then shows.
    dialog->show_destination(
        pick_folder(GTK_WINDOW(dialog->run->window()), dialog->picker_title, dialog->answer.destination));
  }
};

// --- language dialog ------------------------------------------------------

struct LanguageDialog {
  ModalRun* run = nullptr;
  GtkWidget* combo = nullptr;
  int selected = -1;

  static void on_ok(GtkButton*, gpointer data) {
    auto* dialog = static_cast<LanguageDialog*>(data);
    dialog->selected = gtk_combo_box_get_active(GTK_COMBO_BOX(dialog->combo));
    dialog->run->end(Response::Ok);
  }
};

// Themes draw the bar as a thin line; the window's bar fills its height.
void fill_height(GtkWidget* bar, int height) {
  const Reference<GtkCssProvider> css(gtk_css_provider_new());
  const std::string rule = "progressbar trough, progressbar progress { min-height: " + std::to_string(height) + "px; }";
  gtk_css_provider_load_from_data(css.get(), rule.c_str(), -1, nullptr);
  GtkStyleContext* style = gtk_widget_get_style_context(bar);
  gtk_style_context_add_provider(style, GTK_STYLE_PROVIDER(css.get()), GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

// --- progress window ------------------------------------------------------

class GtkProgressWindow : public ProgressWindow {
 public:
  GtkProgressWindow() : owned_(new_window("Fortschritt / Progress")), window_(owned_.get()) {
    // No close box and no way to end the stage from here.
    gtk_window_set_deletable(GTK_WINDOW(window_), FALSE);
    gtk_window_set_keep_above(GTK_WINDOW(window_), TRUE);
    g_signal_connect(window_, "delete-event", G_CALLBACK(gtk_true), nullptr);
    TemplateArea area(window_, 311, 29);
    bar_ = area.add(gtk_progress_bar_new(), 7, 7, 297, 8);
    fill_height(bar_, area.units().y(8));
    gtk_widget_show_all(window_);
    flush_events(100);
  }
  ~GtkProgressWindow() override {
    owned_.reset();
    flush_events(100);
  }

  std::wstring caption() const override {
    const char* title = gtk_window_get_title(GTK_WINDOW(window_));
    return title != nullptr ? wide_from_utf8(title) : std::wstring();
  }
  void set_caption(const std::wstring& caption) override {
    gtk_window_set_title(GTK_WINDOW(window_), utf8(caption).c_str());
  }
  void set_range(std::uint32_t max) override {
    max_ = max;
    position_ = std::min(position_, max_);
    show();
  }
  void step() override {
    // Past its end the bar stays full rather than suggesting a new start.
    if (position_ < max_) ++position_;
    show();
  }
  void set_position(std::uint32_t position) override {
    position_ = std::min(position, max_);
    show();
  }

 private:
  void show() {
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar_), max_ == 0 ? 0.0 : static_cast<double>(position_) / max_);
  }

  Window owned_;
  GtkWidget* window_;
  GtkWidget* bar_ = nullptr;
  std::uint32_t max_ = 0;
  std::uint32_t position_ = 0;
};

// --- the user interface ---------------------------------------------------

class GtkUi : public Ui {
 public:
  bool ask_yes_no(const std::wstring& text, const std::wstring& caption) override {
    return message_box(utf8(caption), utf8(text), true) == Response::Ok;
  }

  void show_message(const std::string& text, const std::wstring& caption) override {
    message_box(utf8(caption), text, false);
  }

  std::optional<VersionAnswer> ask_version(const VersionQuestion& question) override {
    ModalRun run(new_window("Select Version"));
    VersionDialog dialog;
    dialog.run = &run;
    dialog.picker_title = question.picker_title;

    TemplateArea area(run.window(), 311, 101);
    dialog.ok = area.add(gtk_button_new_with_label("OK"), 117, 80, 50, 14);
    GtkWidget* cancel = area.add(gtk_button_new_with_label("Abbrechen"), 181, 80, 50, 14);
    dialog.combo = area.add(gtk_combo_box_text_new_with_entry(), 72, 7, 100, 14);
    // The labels take the height of the control beside them: GTK's controls
    // are taller than Windows', and the texts are to be centred beside them.
    area.add(static_text("Version:"), 7, 7, 27, 14);
    dialog.download_only = area.add(gtk_check_button_new_with_label("Nur Download/Download only"), 182, 7, 122, 14);
    area.add(static_text("Ziel/Destination:"), 7, 30, 62, 14);
    dialog.destination_field = area.add(gtk_entry_new(), 72, 30, 100, 14);
    GtkWidget* pick = area.add(gtk_button_new_with_label("..."), 182, 30, 14, 14);
    area.apply_tab_order();

    for (const std::wstring& entry : question.entries) {
      gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(dialog.combo), utf8(entry).c_str());
    }
    if (!question.entries.empty()) gtk_combo_box_set_active(GTK_COMBO_BOX(dialog.combo), 0);
    if (question.locked) gtk_widget_set_sensitive(dialog.combo, FALSE);
    GtkWidget* typed = gtk_bin_get_child(GTK_BIN(dialog.combo));
    gtk_entry_set_width_chars(GTK_ENTRY(typed), 1);
    gtk_entry_set_activates_default(GTK_ENTRY(typed), TRUE);
    // Shown, never typed into: the folder comes from the picker.
    gtk_entry_set_width_chars(GTK_ENTRY(dialog.destination_field), 1);
    gtk_widget_set_sensitive(dialog.destination_field, FALSE);
    dialog.show_destination(question.destination);

    g_signal_connect(dialog.ok, "clicked", G_CALLBACK(VersionDialog::on_ok), &dialog);
    g_signal_connect(cancel, "clicked", G_CALLBACK(ModalRun::on_cancel_clicked), &run);
    g_signal_connect(pick, "clicked", G_CALLBACK(VersionDialog::on_pick), &dialog);
    make_default(run.window(), dialog.ok);
    gtk_widget_grab_focus(question.destination.empty() ? pick : dialog.ok);

    if (run.run() != Response::Ok) return std::nullopt;
    return dialog.answer;
  }

  std::optional<int> ask_language(const std::vector<std::wstring>& entries, int preselected) override {
    ModalRun run(new_window("Vorta Setup"));
    LanguageDialog dialog;
    dialog.run = &run;

    TemplateArea area(run.window(), 344, 46);
    GtkWidget* ok = area.add(gtk_button_new_with_label("OK"), 228, 25, 50, 14);
    GtkWidget* cancel = area.add(gtk_button_new_with_label("Abbrechen"), 287, 25, 50, 14);
    dialog.combo = area.add(gtk_combo_box_text_new(), 262, 7, 75, 14);
    area.add(static_text("Bitte w\xC3\xA4hlen Sie Ihre Vorta Sprache / Please select the language of Vorta:"), 7, 7,
             241, 14);
    area.apply_tab_order();

    for (const std::wstring& entry : entries) {
      gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(dialog.combo), utf8(entry).c_str());
    }
    if (preselected >= 0 && static_cast<std::size_t>(preselected) < entries.size()) {
      gtk_combo_box_set_active(GTK_COMBO_BOX(dialog.combo), preselected);
    }

    g_signal_connect(ok, "clicked", G_CALLBACK(LanguageDialog::on_ok), &dialog);
    g_signal_connect(cancel, "clicked", G_CALLBACK(ModalRun::on_cancel_clicked), &run);
    make_default(run.window(), ok);
    gtk_widget_grab_focus(ok);

    if (run.run() != Response::Ok) return std::nullopt;
    return dialog.selected;
  }

  std::unique_ptr<ProgressWindow> open_progress_window() override { return std::make_unique<GtkProgressWindow>(); }

  void pump_messages(unsigned max_messages) override { flush_events(max_messages); }
};

bool open_display() {
  // GTK would switch every locale category, the number formats included;
  // only the character type and the translations of its own labels matter.
  gtk_disable_setlocale();
  std::setlocale(LC_CTYPE, "");
  std::setlocale(LC_MESSAGES, "");
  return gtk_init_check(nullptr, nullptr) != FALSE;
}

}  // namespace

std::unique_ptr<Ui> make_gtk_ui() {
  static const bool opened = open_display();
  if (!opened) return nullptr;
  return std::make_unique<GtkUi>();
}

}  // namespace platform
