// The application object and the main window's behaviour: polling for the
// bootloader, loading an image, flashing it, About and Exit.
#include "gui/gui.h"

#include "firmware/firmware.h"
#include "gui/lib.h"
#include "logo.h"
#include <kestrane/version.h>

#include <wx/aboutdlg.h>
#include <wx/file.h>
#include <wx/statbox.h>

#include <cstring>
#include <vector>

static const int POLL_PERIOD_MS = 1000;
static const long ERROR_BOX_STYLE = wxOK | wxICON_ERROR;
static const char FIRMWARE_WILDCARD[] =
    "BIN files (*.bin)|*.bin|"
    "HEX files (*.hex;*.ihx)|*.hex;*.ihx|"
    "S-record files (*.s19;*.s28;*.s37;*.srec;*.mot)|*.s19;*.s28;*.s37;*.srec;*.mot|"
    "All files (*.*)|*.*";

// The window flashes an image's bytes and nothing else, so it would pass
// over a boot-record file's identify and lock records.
static const char BOOT_RECORDS_REFUSED[] =
    "Boot-record files are flashed with kestrane-cli: this window cannot honour their identify and lock records.";

// Reads the whole file and hands it to the loader, which tells raw binaries
// from HEX and S-record text and from boot records. A file that would not open, or a read that
// failed, loads nothing.
static firmware::Outcome load_image(const wxString &path, firmware::Image &image)
{
    wxFile file(path);
    std::vector<uint8_t> content(firmware::MAX_FILE_SIZE + 1);
    const ssize_t count = file.IsOpened() ? file.Read(content.data(), content.size()) : 0;
    if (count <= 0)
        return {firmware::Problem::Unreadable, ""};
    return firmware::parse(content.data(), static_cast<size_t>(count), EFM8_APP_SIZE, image);
}

class MyApp : public wxApp {
public:
    bool OnInit() override;
};

wxIMPLEMENT_APP(MyApp);

bool MyApp::OnInit()
{
    wxInitAllImageHandlers();
    MyFrame *frame = new MyFrame(NULL, wxID_ANY, wxEmptyString);
    SetTopWindow(frame);
    frame->Show(true);
    return true;
}

wxBEGIN_EVENT_TABLE(MyFrame, wxFrame)
    EVT_BUTTON(ID_BTN_BROWSE, MyFrame::OnBrowse)
    EVT_BUTTON(ID_BTN_ABOUT, MyFrame::OnAbout)
    EVT_BUTTON(ID_BTN_FLASH, MyFrame::OnFlash)
    EVT_BUTTON(ID_BTN_EXIT, MyFrame::OnExit)
    EVT_TIMER(ID_POLL_TIMER, MyFrame::OnTimer)
wxEND_EVENT_TABLE()

MyFrame::MyFrame(wxWindow *parent, wxWindowID id, const wxString &title,
                 const wxPoint &pos, const wxSize &size, long WXUNUSED(style))
    : wxFrame(parent, id, title, pos, size, wxDEFAULT_FRAME_STYLE)
{
    timer = new wxTimer(this, ID_POLL_TIMER);
    efm8_found = 0;
    fw_size = 0;
    panel_2 = new wxPanel(this, wxID_ANY);
    panel_1 = new wxPanel(this, wxID_ANY);
    statusbar = CreateStatusBar(2);
    label_file = new wxStaticText(panel_1, wxID_ANY, "File:");
    label_size = new wxStaticText(panel_1, wxID_ANY, "Size:");
    browse_button = new wxButton(panel_1, ID_BTN_BROWSE, "Browse...");
    about_button = new wxButton(panel_2, ID_BTN_ABOUT, "About");
    flash_button = new wxButton(panel_2, ID_BTN_FLASH, "Flash");
    exit_button = new wxButton(panel_2, ID_BTN_EXIT, "Exit");
    set_properties();
    do_layout();
}

// The timer is not a child window, so it is not freed with the children;
// stopping it here keeps any tick from reaching a window that is gone.
MyFrame::~MyFrame()
{
    timer->Stop();
    delete timer;
}

void MyFrame::set_properties()
{
    SetTitle("Kestrane");
    const int statusbar_widths[] = {-1, -1};
    statusbar->SetStatusWidths(2, statusbar_widths);
    const wxString statusbar_fields[] = {"No EFM8 connected", ""};
    for (int i = 0; i < statusbar->GetFieldsCount(); ++i)
        statusbar->SetStatusText(statusbar_fields[i], i);
    flash_button->Disable();
}

void MyFrame::do_layout()
{
    wxBoxSizer *sizer_1 = new wxBoxSizer(wxVERTICAL);
    wxBoxSizer *sizer_4 = new wxBoxSizer(wxHORIZONTAL);
    wxBoxSizer *sizer_2 = new wxBoxSizer(wxHORIZONTAL);
    wxStaticBoxSizer *sizer_3 =
        new wxStaticBoxSizer(new wxStaticBox(panel_1, wxID_ANY, "Buffer Info"), wxVERTICAL);
    wxStaticBitmap *logo_bitmap =
        new wxStaticBitmap(panel_1, wxID_ANY, wxBitmap::NewFromPNGData(logo_png, sizeof logo_png));
    sizer_2->Add(logo_bitmap, 1, wxALL, 6);
    sizer_3->Add(label_file, 0, wxALL, 8);
    sizer_3->Add(label_size, 0, wxALL, 8);
    sizer_3->Add(browse_button, 0, wxALL | wxALIGN_CENTER, 6);
    sizer_2->Add(sizer_3, 1, wxALL | wxEXPAND, 4);
    panel_1->SetSizer(sizer_2);
    sizer_1->Add(panel_1, 3, wxEXPAND, 0);
    sizer_4->Add(about_button, 1, wxALL | wxEXPAND, 6);
    sizer_4->Add(flash_button, 1, wxALL | wxEXPAND, 6);
    sizer_4->Add(exit_button, 1, wxALL | wxEXPAND, 6);
    panel_2->SetSizer(sizer_4);
    sizer_1->Add(panel_2, 1, wxEXPAND | wxFIXED_MINSIZE, 0);
    SetSizer(sizer_1);
    sizer_1->Fit(this);
    Layout();
    timer->Start(POLL_PERIOD_MS, wxTIMER_CONTINUOUS);
}

void MyFrame::OnTimer(wxTimerEvent &event)
{
    event.Skip();
    efm8_found = efm8_find();
    if (efm8_found) {
        statusbar->SetStatusText("Found EFM8", 0);
        statusbar->SetStatusText("", 1);
        if (fw_size != 0)
            flash_button->Enable();
    } else {
        statusbar->SetStatusText("No EFM8 connected", 0);
        flash_button->Disable();
    }
}

void MyFrame::OnBrowse(wxCommandEvent &event)
{
    wxFileDialog loaddialog(this, "Select a firmware file", "", "", FIRMWARE_WILDCARD, wxFD_OPEN);
    event.Skip();
    if (loaddialog.ShowModal() != wxID_OK)
        return;

    firmware::Image image;
    const firmware::Outcome outcome = load_image(loaddialog.GetPath(), image);
    const bool boot_records = image.format == firmware::Format::BootRecords;
    fw_size = outcome.ok() && !boot_records ? static_cast<int32_t>(image.bytes.size()) : 0;
    if (fw_size > 0)
        std::memcpy(fw_buf, image.bytes.data(), static_cast<size_t>(fw_size));

    if (boot_records)
        wxMessageBox(wxString("Failed to load firmware file\n") + BOOT_RECORDS_REFUSED, "Load Error", ERROR_BOX_STYLE);
    else if (outcome.problem == firmware::Problem::TooLarge)
        wxMessageBox("Firmware is too big for EFM8UB1", "Load Error", ERROR_BOX_STYLE);
    else if (outcome.problem == firmware::Problem::Malformed)
        wxMessageBox("Failed to load firmware file\n" + wxString::FromUTF8(outcome.message), "Load Error",
                     ERROR_BOX_STYLE);
    else if (!outcome.ok())
        wxMessageBox("Failed to load firmware file", "Load Error", ERROR_BOX_STYLE);

    // SetLabelText: a file name is shown as it is, '&' included.
    if (fw_size != 0) {
        label_file->SetLabelText("File: " + loaddialog.GetFilename());
        label_size->SetLabelText(wxString::Format("Size: %d", fw_size));
        if (efm8_found)
            flash_button->Enable();
    } else {
        label_file->SetLabelText("File: ");
        label_size->SetLabelText("Size: ");
        flash_button->Disable();
    }
}

void MyFrame::OnFlash(wxCommandEvent &event)
{
    event.Skip();
    timer->Stop();
    int32_t r;
    {
        wxBusyCursor busy;  // the flash blocks the event loop for its whole length
        r = efm8_program(fw_buf, static_cast<uint32_t>(fw_size));
    }
    if (r != 0)
        wxMessageBox("Flash Failed", "Flash Failed code", ERROR_BOX_STYLE);
    else
        statusbar->SetStatusText("Flash Successfull", 1);
    timer->Start(-1);
}

void MyFrame::OnAbout(wxCommandEvent &event)
{
    event.Skip();
    wxAboutDialogInfo info;
    info.SetName(wxGetTranslation("Kestrane"));
    info.SetVersion(wxGetTranslation(KESTRANE_RELEASE_STRING), wxEmptyString);
    info.SetDescription(wxGetTranslation("Small GUI utility to flash Silicon Labs EFM8UB1 Microcontrollers."));
    info.SetCopyright("Copyright (C) 2026 the Kestrane developers");
    wxAboutBox(info);
}

void MyFrame::OnExit(wxCommandEvent &event)
{
    event.Skip();
    Close(false);
}
