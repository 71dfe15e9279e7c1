// How the window reads on the desktop it lands on. A dark theme's palette leaves the labels, the
// captions and the transcripts exactly as readable as on a light one, and at the scale factor the
// program runs at (ctest runs this at QT_SCALE_FACTOR 1 to 2) every frame and caption is drawn
// whole. Runs under Xvfb and reads the pixels of QWidget::grab(), which are what the screen shows.
#include "test_support.h"
#include "transcript_box.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QPushButton>
#include <cmath>
#include <functional>

namespace {

// WCAG's relative luminance and contrast ratio.
double luminance(QRgb rgb)
{
    auto channel = [](int value) {
        const double c = value / 255.0;
        return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(qRed(rgb)) + 0.7152 * channel(qGreen(rgb)) + 0.0722 * channel(qBlue(rgb));
}

double contrast(QRgb a, QRgb b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// A control's area in the device pixels of a grab of the window.
QRect devicePixels(const QImage& image, const QRect& logical)
{
    const qreal ratio = image.devicePixelRatio();
    return QRect(QPoint(std::floor(logical.left() * ratio), std::floor(logical.top() * ratio)),
                 QPoint(std::ceil((logical.right() + 1) * ratio) - 1, std::ceil((logical.bottom() + 1) * ratio) - 1));
}

// The contrast of the text in an area: the best a pixel makes with the area's most frequent
// colour, its background. Glyphs' cores carry the text colour; their edges are blends.
double textContrast(const QImage& image, const QRect& area)
{
    QHash<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            ++counts[image.pixel(x, y)];
    const QRgb background = std::max_element(counts.keyValueBegin(), counts.keyValueEnd(), [](auto a, auto b) {
                                return a.second < b.second;
                            })->first;
    double best = 1;
    for (auto [rgb, count] : counts.asKeyValueRange())
        best = std::max(best, contrast(rgb, background));
    return best;
}

// What a dark desktop theme gives Qt programs: light text on a dark grey face and dark text boxes.
QPalette darkPalette()
{
    const QColor text(238, 238, 238), face(50, 50, 50);
    return QPalette(text, face, face.lighter(), face.darker(), face, text, Qt::white, QColor(42, 42, 42), face);
}

enum class DarkTheme { None, BeforeTheWindow, AfterTheWindow };

// The contrast of the text the operator reads, in a window where slot 1 holds a client, slot 2
// is idle again after one, and slot 3 has never been used.
QMap<QString, double> readableTexts(DarkTheme theme, const QString& shot)
{
    if (theme == DarkTheme::BeforeTheWindow)
        QApplication::setPalette(darkPalette());
    Window w;
    frmPortdeck& f = *w.form;
    f.show();
    if (!QTest::qWaitForWindowExposed(&f))
        return {};
    auto first = (w.listen(), w.connectClient("127.0.0.2", 1));
    auto second = w.connectClient("127.0.0.3", 2);
    second.reset();
    if (!first || !QTest::qWaitFor([&] { return !w.occupied(2); }))
        return {};
    if (theme == DarkTheme::AfterTheWindow) {
        QApplication::setPalette(darkPalette());
        QCoreApplication::sendPostedEvents(); // the widgets learn of the new palette from posted events
    }
    w.transcript(1).flushDisplay();
    const QImage image = f.grab().toImage();
    image.save(shot);
    QWidget* transcript = f.txtDecription[1]->viewport();
    return {
        {"label never used", textContrast(image, devicePixels(image, f.lblRemoteIP[3]->geometry()))},
        {"label idle again", textContrast(image, devicePixels(image, f.lblRemoteIP[2]->geometry()))},
        {"label with a client", textContrast(image, devicePixels(image, f.lblRemoteIP[1]->geometry()))},
        {"caption", textContrast(image, devicePixels(image, f.chkCapture[1]->geometry()))},
        {"transcript",
         textContrast(image, devicePixels(image, {transcript->mapTo(&f, QPoint()), QSize(transcript->width(), 20)}))},
    };
}

// Whether a frame's line runs along one side of a control: one of the two outermost rows or
// columns of device pixels is of the line's colour (by default darker than the face and the
// text boxes) along the middle of the side, away from rounded corners.
bool lineAlong(
    const QImage& image, const QRect& control, Qt::Edge side,
    const std::function<bool(QRgb)>& isLine = [](QRgb rgb) { return qGray(rgb) <= 216; })
{
    const bool vertical = side == Qt::LeftEdge || side == Qt::RightEdge;
    const int length = vertical ? control.height() : control.width();
    for (int depth = 0; depth < 2; ++depth) {
        int drawn = 0;
        for (int along = length / 5; along < length - length / 5; ++along) {
            const QPoint start = vertical
                                     ? QPoint(side == Qt::LeftEdge ? control.left() + depth : control.right() - depth,
                                              control.top() + along)
                                     : QPoint(control.left() + along,
                                              side == Qt::TopEdge ? control.top() + depth : control.bottom() - depth);
            drawn += isLine(image.pixel(start));
        }
        if (drawn >= (length - 2 * (length / 5)) * 95 / 100)
            return true;
    }
    return false;
}

// Whether a control's caption shows whole: the control draws as much text (dark or red ink)
// as it does with room to spare around it. The spare room keeps the text where it was, to the
// device pixel: 4 pixels is a whole number of device pixels at every scale tested.
bool captionWhole(QWidget* control, const QSize& windowSize)
{
    const qreal ratio = control->devicePixelRatioF();
    auto ink = [&] {
        QImage image(windowSize * ratio, QImage::Format_RGB32);
        image.setDevicePixelRatio(ratio);
        image.fill(Qt::white);
        control->render(&image, control->pos());
        int count = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                count += qGray(image.pixel(x, y)) < 100;
        return count;
    };
    const QRect was = control->geometry();
    const int clipped = ink();
    // A button's caption is centred and its face shaded from top to bottom: it gets room at
    // both sides. Other captions start at the left and are centred from top to bottom.
    control->setGeometry(was + (qobject_cast<QPushButton*>(control) ? QMargins(4, 0, 4, 0) : QMargins(0, 4, 4, 4)));
    const int spare = ink();
    control->setGeometry(was);
    return clipped == spare;
}

QString scale()
{
    return qEnvironmentVariable("QT_SCALE_FACTOR", "1");
}

} // namespace

Q_DECLARE_METATYPE(DarkTheme)

class tst_look : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { QApplication::setPalette(m_themePalette); }
    void darkThemeLeavesTextAsReadable_data();
    void darkThemeLeavesTextAsReadable();

    void framesAndCaptionsDrawWhole();
    void focusedTranscriptFramedInHighlight();

private:
    QPalette m_themePalette = QApplication::palette();
};

void tst_look::darkThemeLeavesTextAsReadable_data()
{
    QTest::addColumn<DarkTheme>("theme");
    QTest::newRow("dark palette before the window opens") << DarkTheme::BeforeTheWindow;
    QTest::newRow("dark palette while the window is open") << DarkTheme::AfterTheWindow;
}

void tst_look::darkThemeLeavesTextAsReadable()
{
    QFETCH(DarkTheme, theme);
    const QMap<QString, double> light = readableTexts(DarkTheme::None, "look-light-" + scale() + ".png");
    QApplication::setPalette(m_themePalette);
    const QMap<QString, double> dark = readableTexts(theme, "look-dark-" + scale() + ".png");
    QCOMPARE(dark.keys(), light.keys());
    QVERIFY(!light.isEmpty());
    QStringList lessReadable;
    for (const QString& text : light.keys()) {
        qInfo("%s: %.1f:1 light, %.1f:1 dark", qPrintable(text), light[text], dark[text]);
        if (dark[text] < light[text] - 0.01)
            lessReadable << text;
    }
    QVERIFY2(lessReadable.isEmpty(), qPrintable(lessReadable.join(", ")));
}

void tst_look::framesAndCaptionsDrawWhole()
{
    Window w;
    frmPortdeck& f = *w.form;
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    auto client = w.serveOneClient(); // slot 1's label at its longest
    QVERIFY(client);
    const QImage image = f.grab().toImage();
    image.save("look-scale-" + scale() + ".png");

    QStringList missing;
    const QList<QWidget*> framed = {f.txtLocalPort,     f.cmdClear,         f.cmdExit,         f.txtDecription[1],
                                    f.txtDecription[2], f.txtDecription[3], f.txtDecription[4]};
    const QList<std::pair<Qt::Edge, QString>> sides = {
        {Qt::TopEdge, "top"}, {Qt::LeftEdge, "left"}, {Qt::RightEdge, "right"}, {Qt::BottomEdge, "bottom"}};
    for (QWidget* control : framed)
        for (const auto& [side, name] : sides)
            if (!lineAlong(image, devicePixels(image, control->geometry()), side))
                missing << control->objectName() + " " + name;
    for (QWidget* control : f.findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (!qobject_cast<QAbstractScrollArea*>(control) && !captionWhole(control, f.size()))
            missing << control->objectName() + " caption";
    QVERIFY2(missing.isEmpty(), qPrintable(missing.join(", ")));
}

void tst_look::focusedTranscriptFramedInHighlight()
{
    Window w;
    frmPortdeck& f = *w.form;
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    TranscriptBox& focused = *f.txtDecription[1];
    const QRect textArea = focused.viewport()->geometry();
    f.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&f));
    focused.setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(focused.hasFocus());
    QCOMPARE(focused.viewport()->geometry(), textArea); // the text area loses nothing to the focus
    const QImage image = f.grab().toImage();
    image.save("look-focus-" + scale() + ".png");

    const QRgb highlight = f.palette().color(QPalette::Highlight).rgb();
    auto isHighlight = [highlight](QRgb rgb) {
        return (rgb & 0xffffff) == (highlight & 0xffffff);
    };
    QStringList wrong;
    for (TranscriptBox* box : {f.txtDecription[1], f.txtDecription[2]})
        for (Qt::Edge side : {Qt::TopEdge, Qt::LeftEdge, Qt::RightEdge, Qt::BottomEdge})
            if (lineAlong(image, devicePixels(image, box->geometry()), side, isHighlight) != (box == &focused))
                wrong << QStringLiteral("%1 side %2").arg(box->objectName()).arg(side);
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(", ")));
}

QTEST_MAIN(tst_look)
#include "tst_look.moc"
