// The Kestrane main window.
#ifndef KESTRANE_GUI_H
#define KESTRANE_GUI_H

#include <stdint.h>
#include <wx/wx.h>

enum {
    ID_BTN_ABOUT = 1,
    ID_BTN_FLASH = 2,
    ID_BTN_EXIT = 3,
    ID_BTN_BROWSE = 4,
    ID_POLL_TIMER = 10,
};

class MyFrame : public wxFrame {
public:
    // style is accepted for the usual frame signature but not used.
    MyFrame(wxWindow *parent, wxWindowID id, const wxString &title,
            const wxPoint &pos = wxDefaultPosition, const wxSize &size = wxDefaultSize,
            long style = wxDEFAULT_FRAME_STYLE);
    ~MyFrame() override;

    void OnBrowse(wxCommandEvent &event);
    void OnAbout(wxCommandEvent &event);
    void OnFlash(wxCommandEvent &event);
    void OnExit(wxCommandEvent &event);
    void OnTimer(wxTimerEvent &event);

private:
    void set_properties();
    void do_layout();

protected:
    wxStatusBar *statusbar;
    wxStaticText *label_file;
    wxStaticText *label_size;
    wxButton *browse_button;
    wxPanel *panel_1;
    wxButton *about_button;
    wxButton *flash_button;
    wxButton *exit_button;
    wxPanel *panel_2;
    wxTimer *timer;
    unsigned char fw_buf[16384];
    int32_t fw_size;     // bytes of fw_buf in use; 0 when no image is loaded
    int32_t efm8_found;  // 1 when the last poll found a bootloader device

    wxDECLARE_EVENT_TABLE();
};

#endif
