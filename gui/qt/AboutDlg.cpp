#include "AboutDlg.h"

#include "DialogUnits.h"
#include "MessageBox.h"
#include "ProgramIcon.h"
#include "Resource.h"
#include "SorvelVersion.h"

#include <QLabel>
#include <QPushButton>

namespace {
// Template size in dialog units.
constexpr int kWidthDu = 236;
constexpr int kHeightDu = 50;
// The system shows a template's icon at the large-icon size, stretching smaller images.
constexpr int kIconPixels = 32;
} // namespace

CAboutDlg::CAboutDlg(QWidget* pParent)
    : QDialog(pParent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("IDD_ABOUTBOX"));
    setWindowTitle(QStringLiteral("About Sorvel_User"));
    setFont(DialogFont());
    const CDialogUnits du = CDialogUnits::FromFont(font());
    setFixedSize(du.Size(kWidthDu, kHeightDu));

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("icon"));
    QPixmap pixmap = ProgramIconPixmap().scaled(kIconPixels, kIconPixels, Qt::KeepAspectRatio,
                                                Qt::FastTransformation);
    icon->setPixmap(pixmap);
    QRect iconRect = du.Rect(19, 16, 21, 20);
    icon->setGeometry(iconRect.x(), iconRect.y(), kIconPixels, kIconPixels);
    icon->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    auto* text = new QLabel(QStringLiteral("Brevon Box Upgrade tool"), this);
    text->setObjectName(QStringLiteral("text"));
    text->setTextFormat(Qt::PlainText);
    text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    text->setGeometry(du.Rect(51, 15, 119, 8));

    // The version line under the product line, as the project's version gives it.
    auto* version =
        new QLabel(QStringLiteral("Version ") + QString::fromLatin1(sorvel::kVersion), this);
    version->setObjectName(QStringLiteral("version"));
    version->setTextFormat(Qt::PlainText);
    version->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    version->setGeometry(du.Rect(51, 27, 119, 8));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("IDOK"));
    ok->setDefault(true);
    ok->setGeometry(du.Rect(179, 7, 50, 14));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    ok->setFocus();
}

int CAboutDlg::DoModal() {
    return exec() == QDialog::Accepted ? IDOK : IDCANCEL;
}
