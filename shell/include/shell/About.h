// TAboutDlg: the server's name, file version and copyright line over a full-window picture,
// and a link label that opens the project's web address. The version texts are read from the
// program file's own version information when the dialog is created. Main thread only.
#pragma once

#include <QDialog>
#include <string>

class QLabel;

namespace cls::ui {
class TImage;
class TLabel;
}  // namespace cls::ui

namespace dral {

class TAboutDlg : public QDialog {
 public:
  // `programFile`: whose version information to show (the running program by default).
  explicit TAboutDlg(QWidget* owner = nullptr, std::string programFile = DefaultProgramFile());
  static std::string DefaultProgramFile();

  cls::ui::TImage* Image1;
  QLabel* Label1;
  QLabel* Label2;
  QLabel* VersionNum;
  QLabel* Copyright;
  cls::ui::TLabel* WebHyperlink;

  void FormCreate();
  // Replaces the "0.0" and "Copyright" placeholders with the file's version strings; a file
  // without version information leaves them.
  void ReadVersionInfo();
  // Opens the link label's caption in the desktop's browser; a failure is dropped.
  void WebHyperlinkClick();
  void WebHyperlinkMouseMove();  // underline while the pointer is over the link
  void Image1MouseMove();        // and plain again once it has left it
  // Escape (character 27) closes the dialog; other keys do nothing.
  void FormKeyPress(char key);

  static constexpr const char* kCaption = "About DRAL Server ";
  static constexpr const char* kWebAddress = "https://dral.example.org/";
  static constexpr const char* kFileVersionQuery = "\\StringFileInfo\\040904E4\\FileVersion";
  static constexpr const char* kCopyrightQuery = "\\StringFileInfo\\040904E4\\LegalCopyright";
  static constexpr int kClientWidth = 799;
  static constexpr int kClientHeight = 399;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  std::string programFile_;
};

// The about dialog that the program creates at start (null when none).
extern TAboutDlg* AboutDlg;

}  // namespace dral
