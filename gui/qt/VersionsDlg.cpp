#include "VersionsDlg.h"

#include "DialogUnits.h"
#include "MessageBox.h"
#include "Resource.h"
#include "UpgradeDlgLogic.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStringDecoder>
#include <QStyle>
#include <QStyleOptionFrame>

#include <utility>

namespace {

// Template size in dialog units.
constexpr int kWidthDu = 198;
constexpr int kHeightDu = 118;
// A configuration text is at most 65535 bytes; a field must hold it whole.
constexpr int kFieldMaxLength = 65535;

// Configuration texts are bytes. Text written as UTF-8 shows as such; anything else is taken
// as Latin-1, byte for character, so that no byte is lost.
QString TextOf(const std::string& text) {
    QByteArray bytes(text.data(), static_cast<qsizetype>(text.size()));
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = utf8.decode(bytes);
    if (!utf8.hasError())
        return decoded;
    return QString::fromLatin1(bytes);
}

// Upper case character by character, so that the shown text keeps its length.
QString UpperCase(const QString& text) {
    QString shown = text;
    for (QChar& c : shown)
        c = c.toUpper();
    return shown;
}

QLabel* MakeLabel(QWidget* parent, const char* text, const CDialogUnits& du, int x, int y,
                  int width, int height) {
    auto* label = new QLabel(QString::fromLatin1(text), parent);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setGeometry(du.Rect(x, y, width, height));
    return label;
}

// Whether the field shows less than its whole text: the width left for text inside its frame
// and margins, as QLineEdit lays it out, is narrower than the text.
bool TextCut(const QLineEdit* edit) {
    // QLineEdit keeps this many pixels free on each side of its text.
    constexpr int kLineEditMargin = 2;
    QStyleOptionFrame option;
    option.initFrom(edit);
    option.lineWidth = edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit);
    const QMargins margins = edit->textMargins();
    const int room =
        edit->style()->subElementRect(QStyle::SE_LineEditContents, &option, edit).width() -
        margins.left() - margins.right() - 2 * kLineEditMargin;
    return edit->fontMetrics().horizontalAdvance(edit->text()) > room;
}

QLineEdit* MakeField(QWidget* parent, int id, const CDialogUnits& du, int x, int y) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QStringLiteral("IDC_%1").arg(id));
    edit->setProperty("dlgCtrlId", id);
    edit->setReadOnly(true);
    edit->setMaxLength(kFieldMaxLength);
    edit->setGeometry(du.Rect(x, y, 52, 12));
    return edit;
}

} // namespace

CVersionsDlg::CVersionsDlg(QWidget* pParent)
    : QDialog(pParent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("IDD_VERSIONS"));
    setWindowTitle(QStringLiteral("Brevon Upgrade Tool - Version Infos"));
    setFont(DialogFont());
    const CDialogUnits du = CDialogUnits::FromFont(font());
    setFixedSize(du.Size(kWidthDu, kHeightDu));

    // Controls in template order, which is also the tab order.
    auto* close = new QPushButton(QStringLiteral("close"), this);
    close->setObjectName(QStringLiteral("IDOK"));
    close->setDefault(true);
    close->setGeometry(du.Rect(141, 97, 50, 14));
    connect(close, &QPushButton::clicked, this, &QDialog::accept);

    MakeLabel(this, "Software version ", du, 21, 11, 68, 9);
    MakeLabel(this, "Hardware version", du, 21, 29, 68, 9);
    MakeLabel(this, "Brevon version", du, 21, 45, 68, 9);
    MakeLabel(this, "Pellum Mail version", du, 21, 63, 68, 9);
    MakeLabel(this, "Cartridge Type", du, 21, 78, 68, 9);
    for (int y : {10, 28, 45, 61, 78})
        MakeLabel(this, ":", du, 109, y, 9, 10);

    m_edtSoftware = MakeField(this, IDC_SOFTWARE_VERSION, du, 119, 8);
    m_edtHardware = MakeField(this, IDC_HARDWARE_VERSION, du, 119, 25);
    m_edtBrevon = MakeField(this, IDC_BREVON_VERSION, du, 119, 42);
    m_edtPellum = MakeField(this, IDC_PELLUM_VERSION, du, 119, 58);
    m_edtCartridge = MakeField(this, IDC_CARTRIDGE_TYPE, du, 119, 75);

    setTabOrder(close, m_edtSoftware);
    setTabOrder(m_edtSoftware, m_edtHardware);
    setTabOrder(m_edtHardware, m_edtBrevon);
    setTabOrder(m_edtBrevon, m_edtPellum);
    setTabOrder(m_edtPellum, m_edtCartridge);
    close->setFocus();
}

CVersionsDlg::~CVersionsDlg() = default;

void CVersionsDlg::SetConfigInfo(const CONFIG_INFO& info, BYTE nConfigResult) {
    const std::pair<int, QString*> members[] = {
        {IDC_SOFTWARE_VERSION, &m_strSoftwareVersion},
        {IDC_HARDWARE_VERSION, &m_strHardwareVersion},
        {IDC_BREVON_VERSION, &m_strBrevonVersion},
        {IDC_PELLUM_VERSION, &m_strPellumVersion},
        {IDC_CARTRIDGE_TYPE, &m_strCartridgeType},
    };
    for (const VersionField& field : VersionFields(info, nConfigResult)) {
        for (const auto& [id, member] : members) {
            if (id == field.nID)
                *member = TextOf(field.text);
        }
    }
}

int CVersionsDlg::DoModal() {
    return exec() == QDialog::Accepted ? IDOK : IDCANCEL;
}

QLineEdit* CVersionsDlg::Field(int nID) const {
    switch (nID) {
    case IDC_SOFTWARE_VERSION:
        return m_edtSoftware;
    case IDC_HARDWARE_VERSION:
        return m_edtHardware;
    case IDC_BREVON_VERSION:
        return m_edtBrevon;
    case IDC_PELLUM_VERSION:
        return m_edtPellum;
    case IDC_CARTRIDGE_TYPE:
        return m_edtCartridge;
    default:
        return nullptr;
    }
}

void CVersionsDlg::showEvent(QShowEvent* event) {
    // The fields take the texts when the dialog comes up, as a dialog's initialisation does.
    DoDataExchange();
    QDialog::showEvent(event);
}

void CVersionsDlg::DoDataExchange() {
    const std::pair<QLineEdit*, const QString*> fields[] = {
        {m_edtSoftware, &m_strSoftwareVersion}, {m_edtBrevon, &m_strBrevonVersion},
        {m_edtPellum, &m_strPellumVersion},     {m_edtHardware, &m_strHardwareVersion},
        {m_edtCartridge, &m_strCartridgeType},
    };
    for (const auto& [edit, text] : fields) {
        edit->setText(UpperCase(*text));
        edit->setCursorPosition(0); // show the start of a long text
        // The field keeps the template's width; a text it cannot show whole shows in its tooltip.
        edit->setToolTip(TextCut(edit) ? edit->text() : QString());
    }
}
