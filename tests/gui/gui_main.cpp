// Test runner for the window: starts wxWidgets on the display (Xvfb in CI)
// only when tests are really run, so listing them needs no display.
#include "window_harness.h"

#include <iostream>

static void fail_on_assert(const wxString &file, int line, const wxString &func,
                           const wxString &cond, const wxString &msg)
{
    ADD_FAILURE_AT(file.utf8_string().c_str(), line)
        << "wxWidgets assertion " << cond.utf8_string() << " in " << func.utf8_string() << ": "
        << msg.utf8_string();
}

void Window::click(wxButton *button)
{
    wxCommandEvent event(wxEVT_BUTTON, button->GetId());
    event.SetEventObject(button);
    button->GetEventHandler()->ProcessEvent(event);
}

bool run_until(const std::function<bool()> &done)
{
    const wxLongLong deadline = wxGetLocalTimeMillis() + 5000;
    while (!done()) {
        if (wxGetLocalTimeMillis() > deadline)
            return false;
        wxTheApp->Yield(true);
    }
    return true;
}

void destroy(wxWindow *window)
{
    window->Destroy();
    wxTheApp->ProcessIdle();
}

int ExpectBox::OnInvoked(wxMessageDialog *dialog) const
{
    shown_.push_back({dialog->GetMessage(), dialog->GetCaption(), dialog->GetMessageDialogStyle()});
    if (on_show_)
        on_show_();
    return wxID_OK;
}

// GTK applies the path asynchronously, so let it settle before answering.
int ChooseFile::OnInvoked(wxFileDialog *dialog) const
{
    if (path_.empty())
        return wxID_CANCEL;
    dialog->SetPath(path_);
    EXPECT_TRUE(run_until([&] { return dialog->GetPath() == path_; }))
        << "the file dialog never took " << path_.utf8_string();
    return wxID_OK;
}

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();
    wxSetAssertHandler(fail_on_assert);
    if (!wxEntryStart(argc, argv)) {
        std::cerr << "wxWidgets could not start: no display? Run under xvfb-run -a.\n";
        return 1;
    }
    // What the library logs on its own goes to stderr rather than into boxes.
    delete wxLog::SetActiveTarget(new wxLogStderr);
    wxInitAllImageHandlers();
    int result;
    {
        GTestModalHook unexpected_dialogs;
        result = RUN_ALL_TESTS();
    }
    wxEntryCleanup();
    return result;
}
