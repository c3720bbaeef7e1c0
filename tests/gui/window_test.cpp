// The main window, in-process on the display, against the simulated device.
#include "window_harness.h"

#include "hidsim.h"

#include <gtk/gtk.h>
#include <kestrane/version.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <wx/filename.h>
#include <wx/statbmp.h>
#include <wx/statbox.h>
#include <wx/weakref.h>

#include <fstream>

namespace {

using Bytes = std::vector<uint8_t>;

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        hidsim::reset();
        window = new Window;
        window->Show();
    }

    void TearDown() override
    {
        if (window)
            destroy(window);
        hidsim::reset();
        // The test's files go with it, whatever it left in its folder.
        if (!folder_.empty())
            wxFileName::Rmdir(folder_, wxPATH_RMDIR_RECURSIVE);
    }

    // Writes a file of count patterned bytes into a fresh folder.
    wxString make_file(const wxString &name, size_t count)
    {
        const wxString path = folder() + "/" + name;
        std::ofstream out(path.utf8_string(), std::ios::binary);
        for (size_t i = 0; i < count; ++i)
            out.put(static_cast<char>(i * 13 + 5));
        return path;
    }

    wxString write_text(const wxString &name, const std::string &text)
    {
        const wxString path = folder() + "/" + name;
        std::ofstream(path.utf8_string(), std::ios::binary) << text;
        return path;
    }

    wxString folder()
    {
        if (folder_.empty()) {
            folder_ = wxFileName::CreateTempFileName("kestrane-test");
            wxRemoveFile(folder_);
            wxMkdir(folder_);
        }
        return folder_;
    }

    // Browse, answer the file dialog, and OK every box that comes.
    std::vector<ShownBox> load(const wxString &path)
    {
        std::vector<ShownBox> shown;
        wxTEST_DIALOG(window->click(window->browse_button), ChooseFile(path),
                      ExpectBox(shown).Optional(), ExpectBox(shown).Optional());
        return shown;
    }

    std::vector<ShownBox> flash(std::function<void()> while_box_open = {})
    {
        std::vector<ShownBox> shown;
        wxTEST_DIALOG(window->click(window->flash_button), ExpectBox(shown, while_box_open).Optional());
        return shown;
    }

    wxWeakRef<Window> window;

private:
    wxString folder_;
};

void expect_error_box(const std::vector<ShownBox> &shown, const wxString &message, const wxString &caption)
{
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].message, message);
    EXPECT_EQ(shown[0].caption, caption);
    EXPECT_EQ(shown[0].style & (wxOK | wxICON_MASK), wxOK | wxICON_ERROR);
}

// Start-up.

TEST_F(WindowTest, StartsLaidOutAndPolling)
{
    EXPECT_EQ(window->GetTitle(), "Kestrane");
    ASSERT_EQ(window->statusbar->GetFieldsCount(), 2);
    EXPECT_EQ(window->status(0), "No EFM8 connected");
    EXPECT_EQ(window->status(1), "");
    EXPECT_EQ(window->label_file->GetLabelText(), "File:");
    EXPECT_EQ(window->label_size->GetLabelText(), "Size:");
    EXPECT_FALSE(window->flash_button->IsEnabled());
    EXPECT_TRUE(window->timer->IsRunning());
    EXPECT_EQ(window->timer->GetInterval(), 1000);
    EXPECT_FALSE(window->timer->IsOneShot());
    EXPECT_EQ(window->timer->GetId(), 10);
    EXPECT_EQ(window->fw_size, 0);
    EXPECT_EQ(window->efm8_found, 0);

    const struct {
        wxButton *button;
        int id;
        const char *label;
        wxPanel *panel;
    } buttons[] = {{window->about_button, 1, "About", window->panel_2},
                   {window->flash_button, 2, "Flash", window->panel_2},
                   {window->exit_button, 3, "Exit", window->panel_2},
                   {window->browse_button, 4, "Browse...", window->panel_1}};
    for (const auto &b : buttons) {
        EXPECT_EQ(b.button->GetId(), b.id);
        EXPECT_EQ(b.button->GetLabel(), b.label);
        EXPECT_EQ(b.button->GetParent(), b.panel);
    }
    EXPECT_EQ(window->label_file->GetParent(), window->panel_1);

    wxStaticBox *box = nullptr;
    wxStaticBitmap *banner = nullptr;
    for (wxWindow *child : window->panel_1->GetChildren()) {
        box = box ? box : dynamic_cast<wxStaticBox *>(child);
        banner = banner ? banner : dynamic_cast<wxStaticBitmap *>(child);
    }
    ASSERT_TRUE(box && banner);
    EXPECT_EQ(box->GetLabel(), "Buffer Info");
    EXPECT_EQ(banner->GetBitmap().GetSize(), wxSize(300, 78));
    // Upper and lower panel share the height 3 : 1, side by side above the bar.
    EXPECT_GT(window->panel_1->GetSize().y, 2 * window->panel_2->GetSize().y);
    EXPECT_LT(window->panel_1->GetPosition().y, window->panel_2->GetPosition().y);
}

TEST_F(WindowTest, ApplicationShowsTheWindowAndIgnoresTheStyleArgument)
{
    ASSERT_TRUE(wxTheApp->OnInit());
    wxWeakRef<wxWindow> top(wxTheApp->GetTopWindow());
    ASSERT_TRUE(dynamic_cast<MyFrame *>(top.get()));
    EXPECT_TRUE(top->IsShown());
    EXPECT_EQ(top->GetWindowStyleFlag(), wxDEFAULT_FRAME_STYLE);
    destroy(top);

    wxWeakRef<MyFrame> styled(new MyFrame(NULL, wxID_ANY, "", wxDefaultPosition, wxDefaultSize, wxCAPTION));
    EXPECT_EQ(styled->GetWindowStyleFlag(), wxDEFAULT_FRAME_STYLE);
    destroy(styled);
}

// Polling.

TEST_F(WindowTest, TicksFollowTheDeviceAndTheImage)
{
    hidsim::Device &device = hidsim::attach();
    window->statusbar->SetStatusText("Flash Successfull", 1);
    window->tick();
    EXPECT_EQ(window->status(0), "Found EFM8");
    EXPECT_EQ(window->status(1), "") << "a found device clears the last result";
    EXPECT_EQ(window->efm8_found, 1);
    EXPECT_FALSE(window->flash_button->IsEnabled()) << "no image loaded";
    window->tick();
    EXPECT_FALSE(window->flash_button->IsEnabled());

    window->fw_size = 100;
    window->tick();
    EXPECT_TRUE(window->flash_button->IsEnabled());

    window->statusbar->SetStatusText("Flash Successfull", 1);
    hidsim::detach(device);
    window->tick();
    EXPECT_EQ(window->status(0), "No EFM8 connected");
    EXPECT_EQ(window->status(1), "Flash Successfull") << "field 1 is kept without a device";
    EXPECT_EQ(window->efm8_found, 0);
    EXPECT_FALSE(window->flash_button->IsEnabled());

    hidsim::attach();
    window->fw_size = 0;
    window->flash_button->Enable();
    window->tick();
    EXPECT_TRUE(window->flash_button->IsEnabled()) << "without an image a tick leaves the button";
}

// Loading.

struct LoadCase {
    const char *name;
    size_t bytes;
    const char *box;  // the refusal shown, or nullptr
    const char *size_label;
};

class Loading : public WindowTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(Loading, ShowsTheImageOrRefusesIt)
{
    const LoadCase &c = GetParam();
    hidsim::attach();
    window->tick();
    const std::vector<ShownBox> shown = load(make_file(c.name, c.bytes));
    if (c.box) {
        expect_error_box(shown, c.box, "Load Error");
        EXPECT_EQ(window->fw_size, 0);
        EXPECT_EQ(window->label_file->GetLabelText(), "File: ");
        EXPECT_FALSE(window->flash_button->IsEnabled());
    } else {
        EXPECT_TRUE(shown.empty());
        EXPECT_EQ(window->fw_size, int32_t(c.bytes));
        EXPECT_EQ(window->label_file->GetLabelText(), wxString::FromUTF8("File: ") + wxString::FromUTF8(c.name));
        EXPECT_EQ(window->fw_buf[c.bytes - 1], uint8_t((c.bytes - 1) * 13 + 5));
        EXPECT_TRUE(window->flash_button->IsEnabled());
    }
    EXPECT_EQ(window->label_size->GetLabelText(), c.size_label);
}

INSTANTIATE_TEST_SUITE_P(
    Files, Loading,
    ::testing::Values(LoadCase{"empty.bin", 0, "Failed to load firmware file", "Size: "},
                      LoadCase{"one.bin", 1, nullptr, "Size: 1"},
                      LoadCase{"full.bin", 14848, nullptr, "Size: 14848"},
                      LoadCase{"over.bin", 14849, "Firmware is too big for EFM8UB1", "Size: "},
                      LoadCase{"huge.bin", 20000, "Firmware is too big for EFM8UB1", "Size: "},
                      LoadCase{"a&b.bin", 10, nullptr, "Size: 10"},
                      LoadCase{"a&&b.hex", 11, nullptr, "Size: 11"}));

TEST_F(WindowTest, CancelChangesNothing)
{
    std::vector<ShownBox> shown = load("");
    EXPECT_EQ(window->label_file->GetLabelText(), "File:");
    load(make_file("first.bin", 64));
    shown = load("");
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(window->fw_size, 64);
    EXPECT_EQ(window->label_file->GetLabelText(), "File: first.bin");
    EXPECT_EQ(window->label_size->GetLabelText(), "Size: 64");
}

TEST_F(WindowTest, SecondFileReplacesTheFirstAndRefusalLosesIt)
{
    load(make_file("first.bin", 300));
    load(make_file("second.bin", 20));
    EXPECT_EQ(window->fw_size, 20);
    EXPECT_EQ(window->label_file->GetLabelText(), "File: second.bin");
    load(make_file("empty.bin", 0));
    EXPECT_EQ(window->fw_size, 0);
    EXPECT_EQ(window->label_size->GetLabelText(), "Size: ");
}

TEST_F(WindowTest, LoadWithoutDeviceWaitsForTheNextTick)
{
    load(make_file("fw.bin", 10));
    EXPECT_FALSE(window->flash_button->IsEnabled());
    hidsim::attach();
    window->tick();
    EXPECT_TRUE(window->flash_button->IsEnabled());
}

// Records the file dialog's filters and cancels it.
class InspectFilters : public wxExpectModalBase<wxFileDialog, InspectFilters> {
public:
    InspectFilters(wxString &wildcard, int &selected) : wildcard_(wildcard), selected_(selected) {}

protected:
    int OnInvoked(wxFileDialog *dialog) const override
    {
        wildcard_ = dialog->GetWildcard();
        selected_ = dialog->GetFilterIndex();
        return wxID_CANCEL;
    }

private:
    wxString &wildcard_;
    int &selected_;
};

TEST_F(WindowTest, TheDialogOffersBinFirstThenHexAndSRecords)
{
    wxString wildcard;
    int selected = -1;
    wxTEST_DIALOG(window->click(window->browse_button), InspectFilters(wildcard, selected));
    EXPECT_EQ(wildcard, "BIN files (*.bin)|*.bin|HEX files (*.hex;*.ihx)|*.hex;*.ihx|"
                        "S-record files (*.s19;*.s28;*.s37;*.srec;*.mot)|*.s19;*.s28;*.s37;*.srec;*.mot|"
                        "All files (*.*)|*.*");
    EXPECT_EQ(selected, 0);
}

// Told by content, whatever the name: code at 0, a table byte at 0x100.
TEST_F(WindowTest, HexFilesLoadAndFlashAndBrokenOnesSayWhy)
{
    hidsim::Device &device = hidsim::attach();
    window->tick();
    EXPECT_TRUE(load(write_text("fw.txt", ":0300000002000AF1\r\n:01010000AA54\r\n:00000001FF\r\n")).empty());
    EXPECT_EQ(window->fw_size, 0x101);
    EXPECT_EQ(window->label_size->GetLabelText(), "Size: 257");
    EXPECT_TRUE(flash().empty());
    Bytes expected(efm8sim::FLASH_SIZE, 0xFF);
    expected[0] = 0x02;
    expected[2] = 0x0A;
    expected[0x100] = 0xAA;
    expected[1] = 0x00;
    EXPECT_EQ(device.model.flash(), expected);

    expect_error_box(load(write_text("bad.hex", ":0300000002000AF2\n:00000001FF\n")),
                     "Failed to load firmware file\nline 1: checksum mismatch (01 != 00)", "Load Error");
    EXPECT_EQ(window->fw_size, 0);
    EXPECT_EQ(window->label_file->GetLabelText(), "File: ");
    EXPECT_EQ(window->label_size->GetLabelText(), "Size: ");
    EXPECT_FALSE(window->flash_button->IsEnabled());

    expect_error_box(load(write_text("big.hex", ":01000000AA55\n:0139FF00AA1D\n:013A0000AA1B\n:00000001FF\n")),
                     "Firmware is too big for EFM8UB1", "Load Error");
    EXPECT_EQ(window->fw_size, 0);
}

// A file that is all text is HEX or S-records, however an editor saved it,
// and never a raw binary: one that is neither is refused with the line named,
// and the image the window had is dropped.
TEST_F(WindowTest, TextIsNeverLoadedAsARawBinary)
{
    hidsim::attach();
    window->tick();
    EXPECT_TRUE(load(write_text("bom.hex", "\xEF\xBB\xBF:0300000002000AF1 \r\n:00000001FF\t\r\n")).empty());
    EXPECT_EQ(window->fw_size, 3);
    EXPECT_EQ(window->fw_buf[0], 0x02);
    const struct {
        const char *name;
        std::string content;
        const char *why;
    } files[] = {
        {"comment.hex", "; fan controller 1.2\n:0300000002000AF1\n:00000001FF\n", "line 1: not a record"},
        {"no-colon.hex", ":0300000002000AF1\n0100030001FB\n:00000001FF\n", "line 2: not a record"},
        {"after-end.hex", ":0300000002000AF1\n:00000001FF\n:0100030001FB\n",
         "line 3: after the end-of-file record on line 2"},
        {"fw.hex", "<!DOCTYPE html>\n<html><body>404 Not Found</body></html>\n",
         "line 1: neither an Intel HEX record nor an S-record, and a text file is never read as a raw binary"},
    };
    for (const auto &file : files) {
        load(make_file("fw.bin", 64));
        expect_error_box(load(write_text(file.name, file.content)),
                         wxString("Failed to load firmware file\n") + file.why, "Load Error");
        EXPECT_EQ(window->fw_size, 0) << file.name;
        EXPECT_EQ(window->label_file->GetLabelText(), "File: ");
        EXPECT_EQ(window->label_size->GetLabelText(), "Size: ");
        EXPECT_FALSE(window->flash_button->IsEnabled());
    }
}

// Told by content, whole or broken, whatever the name: the window leaves
// boot-record files to the command line and drops the image it had.
TEST_F(WindowTest, BootRecordFilesAreLeftToTheCommandLine)
{
    hidsim::attach();
    window->tick();
    const std::string records = std::string("$\x03\x30\x32\x45") + std::string("$\x04\x31\xA5\xF1\x00", 6) +
                                std::string("$\x04\x33\x00\x00\x02", 6) + std::string("$\x03\x36\x00\x00", 5);
    const struct {
        const char *name;
        std::string content;
    } files[] = {{"fw.efm8", records}, {"broken.bin", records.substr(0, 12)}};
    for (const auto &file : files) {
        load(make_file("fw.bin", 64));
        expect_error_box(load(write_text(file.name, file.content)),
                         "Failed to load firmware file\nBoot-record files are flashed with kestrane-cli: this window "
                         "cannot honour their identify and lock records.",
                         "Load Error");
        EXPECT_EQ(window->fw_size, 0) << file.name;
        EXPECT_EQ(window->label_file->GetLabelText(), "File: ");
        EXPECT_EQ(window->label_size->GetLabelText(), "Size: ");
        EXPECT_FALSE(window->flash_button->IsEnabled());
    }
}

// A socket cannot be opened as a file, and /proc/self/mem opens but fails to
// read at offset 0: both are failures even for root.
TEST_F(WindowTest, UnreadableFilesFailToLoad)
{
    const wxString socket_path = folder() + "/socket.bin";
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, socket_path.utf8_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);

    hidsim::attach();
    window->tick();
    for (const wxString &path : {socket_path, wxString("/proc/self/mem")}) {
        load(make_file("good.bin", 8));
        expect_error_box(load(path), "Failed to load firmware file", "Load Error");
        EXPECT_EQ(window->fw_size, 0) << path;
        EXPECT_EQ(window->label_size->GetLabelText(), "Size: ");
        EXPECT_FALSE(window->flash_button->IsEnabled());
    }
    close(fd);
}

// Flashing.

TEST_F(WindowTest, SuccessfulFlashWritesTheImage)
{
    hidsim::Device &device = hidsim::attach();
    const wxString path = make_file("fw.bin", 14848);
    load(path);
    window->tick();
    ASSERT_TRUE(window->flash_button->IsEnabled());
    EXPECT_TRUE(flash().empty());
    EXPECT_EQ(window->status(1), "Flash Successfull");
    EXPECT_TRUE(std::equal(window->fw_buf, window->fw_buf + 14848, device.model.flash().begin()));
    EXPECT_EQ(device.model.flash()[14848], 0xFF);
    EXPECT_TRUE(window->timer->IsRunning());
    EXPECT_EQ(window->timer->GetInterval(), 1000);
    EXPECT_TRUE(window->flash_button->IsEnabled()) << "the handler leaves the button";

    // The device now runs its application and has left the bootloader.
    window->tick();
    EXPECT_EQ(window->status(0), "No EFM8 connected");
    EXPECT_EQ(window->status(1), "Flash Successfull");
}

TEST_F(WindowTest, FailedFlashesShowTheBoxWithPollingPaused)
{
    hidsim::Device &device = hidsim::attach();
    load(make_file("fw.bin", 1000));
    window->tick();
    hidsim::detach(device);  // unplugged between the tick and the click
    bool running_while_open = true;
    expect_error_box(flash([&] { running_while_open = window->timer->IsRunning(); }), "Flash Failed",
                     "Flash Failed code");
    EXPECT_FALSE(running_while_open);
    EXPECT_TRUE(window->timer->IsRunning());
    EXPECT_EQ(window->status(1), "");

    hidsim::Device &refusing = hidsim::attach();
    refusing.model.answer_command_with(10, 0x41);  // a write
    expect_error_box(flash(), "Flash Failed", "Flash Failed code");
}

TEST_F(WindowTest, ClickQueuedDuringAFlashFlashesAgain)
{
    hidsim::Device &first = hidsim::attach();
    hidsim::Device &second = hidsim::attach();
    load(make_file("fw.bin", 700));
    window->tick();
    wxCommandEvent queued(wxEVT_BUTTON, ID_BTN_FLASH);
    window->flash_button->GetEventHandler()->AddPendingEvent(queued);
    EXPECT_TRUE(flash().empty());
    std::vector<ShownBox> shown;
    wxTEST_DIALOG(wxTheApp->ProcessPendingEvents(), ExpectBox(shown).Optional());
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(first.closes, 1);
    EXPECT_EQ(second.closes, 1) << "the queued click started a second flash";
    EXPECT_TRUE(std::equal(window->fw_buf, window->fw_buf + 700, second.model.flash().begin()));
}

// About and Exit.

GtkWidget *open_about_dialog()
{
    GtkWidget *found = nullptr;
    GList *windows = gtk_window_list_toplevels();
    for (GList *w = windows; w; w = w->next)
        if (GTK_IS_ABOUT_DIALOG(w->data) && gtk_widget_get_visible(GTK_WIDGET(w->data)))
            found = GTK_WIDGET(w->data);
    g_list_free(windows);
    return found;
}

TEST_F(WindowTest, AboutShowsNameVersionAndDescriptionAndChangesNothing)
{
    for (bool with_device_and_image : {false, true}) {
        if (with_device_and_image) {
            hidsim::attach();
            load(make_file("fw.bin", 5));
            window->tick();
        }
        const int32_t size = window->fw_size;
        const bool enabled = window->flash_button->IsEnabled();
        const wxString status = window->status(0);

        window->click(window->about_button);
        GtkWidget *about = nullptr;
        ASSERT_TRUE(run_until([&] { return (about = open_about_dialog()) != nullptr; }));
        GtkAboutDialog *dialog = GTK_ABOUT_DIALOG(about);
        EXPECT_STREQ(gtk_about_dialog_get_program_name(dialog), "Kestrane");
        // The version as the library's header gives it, to its minor number.
        const std::string version = std::to_string(KESTRANE_VERSION_MAJOR) + "." + std::to_string(KESTRANE_VERSION_MINOR);
        EXPECT_EQ(std::string(gtk_about_dialog_get_version(dialog)), version);
        EXPECT_STREQ(gtk_about_dialog_get_comments(dialog),
                     "Small GUI utility to flash Silicon Labs EFM8UB1 Microcontrollers.");
        EXPECT_NE(gtk_about_dialog_get_copyright(dialog), nullptr);
        gtk_dialog_response(GTK_DIALOG(about), GTK_RESPONSE_DELETE_EVENT);
        EXPECT_TRUE(run_until([] { return open_about_dialog() == nullptr; }));

        EXPECT_EQ(window->fw_size, size);
        EXPECT_EQ(window->flash_button->IsEnabled(), enabled);
        EXPECT_EQ(window->status(0), status);
    }
}

TEST_F(WindowTest, ExitClosesLikeTheCloseButton)
{
    bool vetoable = false;
    window->Bind(wxEVT_CLOSE_WINDOW, [&](wxCloseEvent &event) {
        vetoable = event.CanVeto();
        event.Skip();
    });
    window->click(window->exit_button);
    wxTheApp->ProcessIdle();
    EXPECT_TRUE(vetoable) << "Exit asks to close, as the window manager does";
    EXPECT_FALSE(window) << "the window is gone";
}

}  // namespace
