#include "shell/About.h"

#include <QDesktopServices>
#include <QKeyEvent>
#include <QLabel>
#include <QUrl>
#include <vector>

#include "classlib/ui/Controls.h"
#include "plat/version_info.h"
#include "shell/Artwork.h"

namespace dral {

TAboutDlg* AboutDlg = nullptr;

namespace {

constexpr char kEscape = 27;
const QColor kTitleColour(0x1d, 0x3f, 0x6e);
const QColor kTextColour(0x26, 0x32, 0x40);
const QColor kLinkColour(0x1a, 0x5f, 0xb4);

QLabel* MakeLabel(const QString& caption, QWidget* parent, int x, int y, int w, int h,
                  int pixelSize, const QColor& colour, bool bold = false) {
  auto* label = new QLabel(caption, parent);
  QFont font = label->font();
  font.setPixelSize(pixelSize);
  font.setBold(bold);
  label->setFont(font);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, colour);
  label->setPalette(palette);
  label->setGeometry(x, y, w, h);
  return label;
}

}  // namespace

std::string TAboutDlg::DefaultProgramFile() {
  return plat::ModuleFileName();
}

TAboutDlg::TAboutDlg(QWidget* owner, std::string programFile)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowCloseButtonHint),
      programFile_(std::move(programFile)) {
  setWindowTitle(kCaption);
  setFixedSize(kClientWidth, kClientHeight);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, Qt::white);
  setPalette(palette);
  setAutoFillBackground(true);

  Image1 = new cls::ui::TImage(this);
  Image1->SetPicture(AboutPicture());
  Image1->move(0, 0);
  Image1->OnMouseMove = [this] { Image1MouseMove(); };

  Label1 = MakeLabel("DRAL Server", this, 48, 56, 340, 52, 40, kTitleColour, true);
  Label2 = MakeLabel("Version", this, 50, 132, 70, 22, 16, kTextColour);
  VersionNum = MakeLabel("0.0", this, 120, 132, 260, 22, 16, kTextColour);
  Copyright = MakeLabel("Copyright", this, 50, 164, 350, 22, 14, kTextColour);

  WebHyperlink = new cls::ui::TLabel(kWebAddress, this);
  QFont font = WebHyperlink->font();
  font.setPixelSize(14);
  WebHyperlink->setFont(font);
  QPalette link = WebHyperlink->palette();
  link.setColor(QPalette::WindowText, kLinkColour);
  WebHyperlink->setPalette(link);
  WebHyperlink->move(50, 206);
  WebHyperlink->adjustSize();
  WebHyperlink->setCursor(Qt::PointingHandCursor);
  WebHyperlink->OnClick = [this] { WebHyperlinkClick(); };
  WebHyperlink->OnMouseMove = [this] { WebHyperlinkMouseMove(); };

  FormCreate();
}

void TAboutDlg::FormCreate() {
  ReadVersionInfo();
}

void TAboutDlg::ReadVersionInfo() {
  const std::vector<uint8_t> info = plat::GetFileVersionInfo(programFile_);
  if (info.empty()) return;
  std::string value;
  if (plat::VerQueryValue(info, kFileVersionQuery, &value)) {
    VersionNum->setText(QString::fromStdString(value));
  }
  if (plat::VerQueryValue(info, kCopyrightQuery, &value)) {
    Copyright->setText(QString::fromStdString(value));
  }
}

void TAboutDlg::WebHyperlinkClick() {
  try {
    QDesktopServices::openUrl(QUrl(WebHyperlink->text()));
  } catch (...) {
    // No browser: nothing else to do.
  }
}

void TAboutDlg::WebHyperlinkMouseMove() {
  WebHyperlink->SetUnderlined(true);
}

void TAboutDlg::Image1MouseMove() {
  WebHyperlink->SetUnderlined(false);
}

void TAboutDlg::FormKeyPress(char key) {
  if (key == kEscape) reject();
}

void TAboutDlg::keyPressEvent(QKeyEvent* event) {
  // Every key comes here first; only Escape does anything (the dialog has no buttons that
  // Enter could press).
  if (event->key() == Qt::Key_Escape) {
    FormKeyPress(kEscape);
  } else if (!event->text().isEmpty()) {
    FormKeyPress(event->text().at(0).toLatin1());
  }
  event->accept();
}

}  // namespace dral
