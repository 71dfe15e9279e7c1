#include "frm_portdeck.h"

#include "accessible_controls.h"
#include "announcer.h"
#include "frame_clock.h"
#include "transcript_box.h"
#include "version.h"

#include <QAbstractScrollArea>
#include <QAction>
#include <QCheckBox>
#include <QIcon>
#include <QLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QProxyStyle>
#include <QPushButton>
#include <QStyleFactory>
#include <QStyleOption>
#include <cmath>

namespace {

// The layout is fixed, in twips from the client area's top-left corner: 15 twips make one
// pixel at 96 dots per inch.
int px(int twips)
{
    return qRound(twips / 15.0);
}

QRect twipRect(int left, int top, int width, int height)
{
    return {px(left), px(top), px(width), px(height)};
}

constexpr int kSlotRowTop[] = {0, 1100, 2950, 4800, 6650};

// Fusion, with two changes that the fixed layout needs:
// - The slot check boxes are 13 pixels high; Fusion's 14-pixel indicator would lose its bottom
//   line in them.
// - Fusion draws a transcript box's frame as a line 1 pixel wide at the box's edge. At a
//   fractional scale factor (1.25, 1.5, 1.75) that line falls partly outside the box, or under
//   the text area and the scroll bar, and whole sides of some boxes vanish. Here the frame is 2
//   pixels wide, and its line is drawn on the outermost device pixels that lie wholly inside the
//   box, where nothing else draws; the rest of the frame is the text area's white. While the box
//   has the focus the line is 2 device pixels thick and in the highlight colour, as the other
//   controls show their focus.
class PortdeckStyle : public QProxyStyle
{
public:
    PortdeckStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {}

    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override
    {
        if (metric == PM_IndicatorWidth || metric == PM_IndicatorHeight)
            return 13;
        if (metric == PM_DefaultFrameWidth && qobject_cast<const QAbstractScrollArea*>(widget))
            return 2;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override
    {
        if (element == PE_Frame && qobject_cast<const QAbstractScrollArea*>(widget))
            drawTextBoxFrame(*option, *painter);
        else
            QProxyStyle::drawPrimitive(element, option, painter, widget);
    }

private:
    static void drawTextBoxFrame(const QStyleOption& option, QPainter& painter)
    {
        const QTransform toDevice = painter.deviceTransform();
        const QRectF box = toDevice.mapRect(QRectF(option.rect));
        const QRectF whole(QPointF(std::ceil(box.left()), std::ceil(box.top())),
                           QPointF(std::floor(box.right()), std::floor(box.bottom())));
        // Fusion's grey line, or while the box has the focus a line twice as thick in the highlight
        // colour: a transcript's caret alone is easily missed. Both fit in the frame at every scale.
        const bool focused = option.state.testFlag(State_HasFocus);
        const int thickness = focused ? 2 : 1;
        const QRectF inside = whole.adjusted(thickness, thickness, -thickness, -thickness);
        QPainterPath ring; // the space between two rectangles, by the odd-even rule
        ring.addRect(whole);
        ring.addRect(inside);
        const QTransform toLogical = toDevice.inverted();
        const QColor line =
            focused ? option.palette.highlight().color() : option.palette.window().color().darker(140).lighter(108);
        painter.fillPath(toLogical.map(ring), line);
        painter.fillRect(toLogical.mapRect(inside), option.palette.base());
    }
};

// The controls stand at fixed places and nothing re-lays them out. Without a layout, every
// caption change would post a re-layout request to the window (one more wake-up of the event
// loop per client arriving or leaving); this layout places nothing and ignores those requests.
class FixedPlacement : public QLayout
{
public:
    using QLayout::QLayout;
    void addItem(QLayoutItem* item) override { delete item; }
    int count() const override { return 0; }
    QLayoutItem* itemAt(int) const override { return nullptr; }
    QLayoutItem* takeAt(int) override { return nullptr; }
    QSize sizeHint() const override { return {}; }
    void invalidate() override {}
};

// The window's own palette, whatever the desktop's theme: a light grey face, black text, white
// text boxes. The slot labels' black and pure red are meant for such a face; a dark theme (and
// Fusion's standard palette, which follows it) would leave a black label on dark grey. Every role
// is set, so nothing of the theme's palette shows through.
QPalette lightPalette()
{
    const QColor face(0xef, 0xef, 0xef);
    QPalette palette(face, face); // black text on white boxes, shades derived from the face
    palette.setColor(QPalette::Highlight, QColor(0x30, 0x8c, 0xc6));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::Link, Qt::blue);
    palette.setColor(QPalette::LinkVisited, Qt::magenta);
    return palette;
}

// A sans-serif face at 8.25 points (11 pixels at 96 dots per inch) narrow enough that every
// caption shows whole at the sizes of the layout.
QFont controlFont(bool bold)
{
    QFont font(QStringLiteral("Liberation Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    font.setBold(bold);
    return font;
}

} // namespace

frmPortdeck::frmPortdeck(ConnectionPool& pool, CaptureWriter& writer, std::unique_ptr<CommonDialog> dialog,
                         QWidget* parent)
    : QWidget(parent), m_style(std::make_unique<PortdeckStyle>()), CommonDialog1(std::move(dialog)),
      m_captureFiles(writer), m_engine(*this, pool), m_announcer(new Announcer(this))
{
    Q_INIT_RESOURCE(portdeck); // the icons live in this library's resources
    installAccessibleControls();
    if (!CommonDialog1)
        CommonDialog1 = std::make_unique<FileOpenDialog>(this);
    FrameClock::of(this); // the window paints at most once per frame
    buildControls();
    connectEvents();
    Form_Load();
}

frmPortdeck::~frmPortdeck()
{
    // The controls draw with m_style, so they go before it does.
    qDeleteAll(findChildren<QWidget*>(Qt::FindDirectChildrenOnly));
}

void frmPortdeck::buildControls()
{
    setObjectName(QStringLiteral("frmPortdeck"));
    setFixedSize(px(6210), px(8550));
    // A window of fixed size offers the window manager nothing to maximise. Where Qt draws the
    // frame itself (on Wayland) the maximise button is drawn whatever the flags say, in Qt 6.4 and
    // 6.8 alike; changeEvent keeps the window at its size when it is used.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    (new FixedPlacement(this))->setSizeConstraint(QLayout::SetNoConstraint);
    QIcon icon;
    icon.addFile(QStringLiteral(":/portdeck/portdeck-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/portdeck/portdeck-32.png"), QSize(32, 32));
    setWindowIcon(icon);
    setPalette(lightPalette());
    setFont(controlFont(false));
    const QFont bold = controlFont(true);

    auto place = [&](QWidget* control, const QString& name, const QRect& rect) {
        control->setObjectName(name);
        control->setGeometry(rect);
        control->setFont(bold);
    };

    chkServer = new QCheckBox(QStringLiteral("Server"), this);
    place(chkServer, QStringLiteral("chkServer"), twipRect(200, 383, 1000, 285));
    txtLocalPort = new QLineEdit(this);
    place(txtLocalPort, QStringLiteral("txtLocalPort"), twipRect(1400, 350, 1000, 350));
    txtLocalPort->setAccessibleName(tr("Local port"));
    cmdClear = new QPushButton(QStringLiteral("Clear All"), this);
    place(cmdClear, QStringLiteral("cmdClear"), twipRect(3000, 300, 1300, 450));
    cmdExit = new QPushButton(QStringLiteral("Exit"), this);
    place(cmdExit, QStringLiteral("cmdExit"), twipRect(4700, 300, 1300, 450));

    for (qint16 i = 1; i <= kSlots; ++i) {
        const int row = kSlotRowTop[i];
        const QString n = QString::number(i);
        // Slot 1's label starts a little further up and left, with a blank after its caption.
        lblRemoteIP[i] = new SlotLabel(i, this);
        place(lblRemoteIP[i], QStringLiteral("lblRemoteIP") + n,
              i == 1 ? twipRect(195, 1095, 1080, 195) : twipRect(200, row, 1020, 195));
        lblRemoteIP[i]->setCaption(i == 1 ? QStringLiteral("Remote IP : ") : QStringLiteral("Remote IP :"));
        lblRemoteIP[i]->setFocusPolicy(Qt::NoFocus);
        chkEcho[i] = new QCheckBox(QStringLiteral("Echo"), this);
        place(chkEcho[i], QStringLiteral("chkEcho") + n, twipRect(2900, row, 800, 195));
        chkEcho[i]->setAccessibleName(tr("Slot %1 echo").arg(i));
        chkCapture[i] = new QCheckBox(QStringLiteral("Save Capture to File"), this);
        place(chkCapture[i], QStringLiteral("chkCapture") + n, twipRect(3850, row, 2100, 195));
        chkCapture[i]->setAccessibleName(tr("Slot %1 save capture to file").arg(i));
        txtDecription[i] = new TranscriptBox(this);
        txtDecription[i]->setObjectName(QStringLiteral("txtDecription") + n);
        txtDecription[i]->setGeometry(twipRect(200, row + 250, 5800, 1400));
        txtDecription[i]->setAccessibleName(tr("Slot %1 transcript").arg(i));
        // The keyboard's way to what a double-click on the label does, offered while a client is there.
        m_dropClient[i] = new QAction(tr("Drop client"), txtDecription[i]);
        m_dropClient[i]->setObjectName(QStringLiteral("dropClient") + n);
        m_dropClient[i]->setVisible(false);
        txtDecription[i]->addAction(m_dropClient[i]);
    }

    for (QWidget* control : findChildren<QWidget*>())
        control->setStyle(m_style.get());

    // Tab visits the transcript boxes and the capture boxes from slot 4 round to slot 3.
    const QList<QWidget*> tabOrder = {chkServer,        txtLocalPort,     cmdClear,         cmdExit,
                                      txtDecription[4], txtDecription[1], txtDecription[2], txtDecription[3],
                                      chkCapture[4],    chkCapture[1],    chkCapture[2],    chkCapture[3],
                                      chkEcho[1],       chkEcho[2],       chkEcho[3],       chkEcho[4]};
    for (qsizetype k = 1; k < tabOrder.size(); ++k)
        setTabOrder(tabOrder[k - 1], tabOrder[k]);
    chkServer->setFocus();
}

// The event table: which handler each control event reaches. The sockets' own events reach
// the engine's handlers through the engine.
void frmPortdeck::connectEvents()
{
    connect(chkServer, &QCheckBox::toggled, this, [this] { m_engine.chkServer_Click(); });
    connect(cmdExit, &QPushButton::clicked, this, [this] { m_engine.cmdExit_Click(); });
    connect(cmdClear, &QPushButton::clicked, this, &frmPortdeck::cmdClear_Click);
    connect(&m_captureFiles, &CaptureFiles::failed, this, [this](int index, const QString& why) {
        tellOperator(tr("Portdeck stopped writing the capture file of slot %1: %2. Everything written before "
                        "stays in the file; untick and tick \"Save Capture to File\" to choose another.")
                         .arg(index)
                         .arg(why));
    });
    for (qint16 i = 1; i <= kSlots; ++i) {
        connect(lblRemoteIP[i], &SlotLabel::doubleClicked, this, [this, i] { m_engine.lblRemoteIP_DblClick(i); });
        connect(m_dropClient[i], &QAction::triggered, lblRemoteIP[i], &SlotLabel::dropClient);
        connect(txtDecription[i], &TranscriptBox::menuOpening, this, &frmPortdeck::makeRoom);
        connect(txtDecription[i], &TranscriptBox::keyTyped, this,
                [this, i](qint32 code) { m_engine.txtDecription_KeyPress(i, code); });
        // toggled, not clicked: it also fires when code changes the value, as stop needs.
        connect(chkEcho[i], &QCheckBox::toggled, this, [this, i] { m_engine.chkEcho_Click(i); });
        connect(chkCapture[i], &QCheckBox::toggled, this, [this, i] { chkCapture_Click(i); });
    }
}

void frmPortdeck::Form_Load()
{
    setWindowTitle(QStringLiteral("Portdeck version ") + QString::number(kVersionMajor) + u'.' +
                   QString::number(kVersionMinor) + QString::number(kVersionRevision));
    strIdleCaption = QStringLiteral("Remote IP :");
    txtLocalPort->setText(QStringLiteral("1024"));
    // The engine starts with every echo line and recorded address empty.
}

void frmPortdeck::changeEvent(QEvent* event)
{
    // The desktop may still ask the window to fill the screen (Qt's own title bar on Wayland shows
    // a maximise button whatever the window's flags): it keeps its one size.
    constexpr Qt::WindowStates kFilling = Qt::WindowMaximized | Qt::WindowFullScreen;
    if (event->type() == QEvent::WindowStateChange && (windowState() & kFilling))
        setWindowState(windowState() & ~kFilling);
    QWidget::changeEvent(event);
}

void frmPortdeck::cmdClear_Click()
{
    for (qint16 i = 1; i <= kSlots; ++i)
        txtDecription[i]->setText(QString());
}

void frmPortdeck::chkCapture_Click(qint16 index)
{
    m_captureFiles.close(index);
    if (!chkCapture[index]->isChecked())
        return;
    CommonDialog& dialog = *CommonDialog1;
    dialog.FileName = QString();
    dialog.DialogTitle = QStringLiteral("Open Capture File");
    dialog.Filter = QStringLiteral("Text Files(.TXT)|*.TXT | All Files(*.*)|*.*");
    dialog.CancelError = true;
    makeRoom();
    if (dialog.ShowOpen() == CommonDialog::cdlCancel)
        return; // the box stays ticked with no file
    QString why;
    if (!m_captureFiles.open(index, dialog.FileName, &why))
        tellOperator(tr("Portdeck cannot capture slot %1 into \"%2\": %3.").arg(index).arg(dialog.FileName, why));
}

QCheckBox* frmPortdeck::checkBox(Box box, qint16 index) const
{
    switch (box) {
    case Box::Server:
        return chkServer;
    case Box::Echo:
        return chkEcho[index];
    case Box::Capture:
        return chkCapture[index];
    }
    return nullptr;
}

int frmPortdeck::checkValue(Box box, qint16 index) const
{
    return checkBox(box, index)->isChecked() ? 1 : 0;
}

void frmPortdeck::setCheckValue(Box box, qint16 index, int value)
{
    checkBox(box, index)->setChecked(value != 0);
}

QString frmPortdeck::localPortText() const
{
    return txtLocalPort->text();
}

void frmPortdeck::showSlotIdle(qint16 index)
{
    lblRemoteIP[index]->setLook(SlotLabel::Look::Idle);
    lblRemoteIP[index]->setCaption(strIdleCaption);
    m_dropClient[index]->setVisible(false);
    // Dropping an idle slot shows it idle again: nobody left.
    if (!m_clientShown[index].isEmpty() && Announcer::heard())
        m_announcer->announce(tr("Slot %1: client %2 disconnected").arg(index).arg(m_clientShown[index]));
    m_clientShown[index].clear();
}

void frmPortdeck::showSlotOccupied(qint16 index, const QString& address)
{
    lblRemoteIP[index]->setLook(SlotLabel::Look::Occupied);
    lblRemoteIP[index]->setCaption(strIdleCaption + address);
    m_dropClient[index]->setVisible(true);
    m_clientShown[index] = address;
    if (Announcer::heard())
        m_announcer->announce(tr("Slot %1: client %2 connected").arg(index).arg(address));
}

void frmPortdeck::AppendTranscript(qint16 index, const QByteArray& text)
{
    txtDecription[index]->appendLatin1(text);
}

void frmPortdeck::writeCaptureRecord(qint16 index, const QByteArray& record)
{
    m_captureFiles.write(index, record);
}

void frmPortdeck::closeCaptureFile(qint16 index)
{
    m_captureFiles.close(index);
}

void frmPortdeck::tellOperator(const QString& message)
{
    makeRoom();
    // Shown without a nested event loop, so that no handler runs inside another while the
    // operator reads it.
    auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Portdeck"), message, QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("operatorMessage"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void frmPortdeck::unload()
{
    close();
}

void frmPortdeck::makeRoom()
{
    m_engine.winsock(0).makeRoom();
}
