// Drives the real main window in-process: members made reachable, ticks and
// dialogs answered deterministically, failures reported through GoogleTest.
#ifndef KESTRANE_WINDOW_HARNESS_H
#define KESTRANE_WINDOW_HARNESS_H

#include "gui/gui.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

// Dialogs nobody expected are reported as test failures and dismissed, so an
// unexpected box fails the test instead of hanging the run.
#define wxTEST_DIALOG_HOOK_CLASS GTestModalHook
#include <wx/testing.h>

class GTestModalHook : public wxTestingModalHook {
public:
    using wxTestingModalHook::wxTestingModalHook;

protected:
    int Enter(wxDialog *dialog) override
    {
        const int answer = wxTestingModalHook::Enter(dialog);
        return answer == wxID_NONE ? wxID_CANCEL : answer;
    }
    void ReportFailure(const wxString &message) override { ADD_FAILURE() << message.utf8_string(); }
};

// The window as built by the product; only its members are made reachable.
class Window : public MyFrame {
public:
    Window() : MyFrame(NULL, wxID_ANY, wxEmptyString) {}
    using MyFrame::about_button;
    using MyFrame::browse_button;
    using MyFrame::efm8_found;
    using MyFrame::exit_button;
    using MyFrame::flash_button;
    using MyFrame::fw_buf;
    using MyFrame::fw_size;
    using MyFrame::label_file;
    using MyFrame::label_size;
    using MyFrame::panel_1;
    using MyFrame::panel_2;
    using MyFrame::statusbar;
    using MyFrame::timer;

    void tick() { timer->Notify(); }
    void click(wxButton *button);
    wxString status(int field) const { return statusbar->GetStatusText(field); }
};

// Runs the event loop until done() holds or a few seconds have passed.
bool run_until(const std::function<bool()> &done);
// Destroys a window the way wxWidgets does, and lets it go.
void destroy(wxWindow *window);

struct ShownBox {
    wxString message;
    wxString caption;
    long style;
};

// Answers a message box with OK, recording what it showed; on_show runs while
// the box is open.
class ExpectBox : public wxExpectModalBase<wxMessageDialog, ExpectBox> {
public:
    explicit ExpectBox(std::vector<ShownBox> &shown, std::function<void()> on_show = {})
        : shown_(shown), on_show_(std::move(on_show)) {}

protected:
    int OnInvoked(wxMessageDialog *dialog) const override;

private:
    std::vector<ShownBox> &shown_;
    std::function<void()> on_show_;
};

// Picks a path in the real file dialog, or cancels it (empty path).
class ChooseFile : public wxExpectModalBase<wxFileDialog, ChooseFile> {
public:
    explicit ChooseFile(const wxString &path) : path_(path) {}

protected:
    int OnInvoked(wxFileDialog *dialog) const override;

private:
    wxString path_;
};

#endif
