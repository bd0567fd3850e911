// Draws every image of the launcher window into one folder and writes the
// resource collection that lists them. The images are vector drawings, so a
// change of theme is a change here followed by one run:
//     drevna-imagegen path/to/src/img
#include <QBuffer>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QSaveFile>
#include <QStringList>
#include <QTextStream>
#include <QtMath>

#include <cstdio>
#include <functional>

namespace
{

// The theme: deep blue-black surfaces, antique gold trim, a cold teal glow.
const QColor ink(8, 12, 18);
const QColor night(15, 22, 31);
const QColor slate(27, 38, 52);
const QColor gold(214, 180, 106);
const QColor goldLight(246, 226, 168);
const QColor goldDark(130, 96, 40);
const QColor teal(72, 194, 201);
const QColor tealDark(14, 70, 82);
const QColor cream(255, 241, 204);

const QString cjkFamily = QStringLiteral("Noto Sans CJK SC");
const QString serifFamily = QStringLiteral("DejaVu Serif");

QString outDir;
QStringList written;

QColor alpha(QColor c, int a)
{
    c.setAlpha(a);
    return c;
}

QImage canvas(int w, int h)
{
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    return img;
}

void begin(QPainter& p)
{
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
}

bool savePng(const QImage& img, const QString& name)
{
    if (!img.save(outDir + QLatin1Char('/') + name, "PNG")) {
        fprintf(stderr, "cannot write %s\n", qPrintable(name));
        return false;
    }
    written << name;
    return true;
}

// An ICO file with one 32-bit bitmap entry per size (read by every Windows
// version and by Qt's own reader) and a PNG entry for 256 px.
QByteArray bitmapEntry(const QImage& source)
{
    const QImage img = source.convertToFormat(QImage::Format_ARGB32);
    const int n = img.width();
    QByteArray data;
    QDataStream s(&data, QIODevice::WriteOnly);
    s.setByteOrder(QDataStream::LittleEndian);
    s << quint32(40) << qint32(n) << qint32(2 * n) << quint16(1) << quint16(32) << quint32(0)
      << quint32(0) << qint32(0) << qint32(0) << quint32(0) << quint32(0);
    for (int y = n - 1; y >= 0; --y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(img.constScanLine(y));
        for (int x = 0; x < n; ++x)
            s << quint8(qBlue(line[x])) << quint8(qGreen(line[x])) << quint8(qRed(line[x]))
              << quint8(qAlpha(line[x]));
    }
    // The AND mask: all zero, the alpha channel decides.
    const int maskRow = ((n + 31) / 32) * 4;
    data.append(QByteArray(maskRow * n, '\0'));
    return data;
}

bool saveIco(const std::function<QImage(int)>& draw, const QString& name)
{
    const QList<int> sizes{16, 24, 32, 48, 64, 128, 256};
    QList<QByteArray> entries;
    for (int size : sizes) {
        const QImage img = draw(size);
        if (size == 256) {
            QByteArray png;
            QBuffer buffer(&png);
            buffer.open(QIODevice::WriteOnly);
            img.save(&buffer, "PNG");
            entries << png;
        } else {
            entries << bitmapEntry(img);
        }
    }
    QByteArray file;
    QDataStream s(&file, QIODevice::WriteOnly);
    s.setByteOrder(QDataStream::LittleEndian);
    s << quint16(0) << quint16(1) << quint16(sizes.size());
    quint32 offset = 6 + 16 * quint32(sizes.size());
    for (int i = 0; i < sizes.size(); ++i) {
        const int n = sizes.at(i);
        s << quint8(n == 256 ? 0 : n) << quint8(n == 256 ? 0 : n) << quint8(0) << quint8(0)
          << quint16(1) << quint16(32) << quint32(entries.at(i).size()) << offset;
        offset += quint32(entries.at(i).size());
    }
    for (const QByteArray& e : entries)
        file.append(e);
    QSaveFile out(outDir + QLatin1Char('/') + name);
    if (!out.open(QIODevice::WriteOnly) || out.write(file) != file.size() || !out.commit()) {
        fprintf(stderr, "cannot write %s\n", qPrintable(name));
        return false;
    }
    written << name;
    return true;
}

QFont font(const QString& family, qreal pixelSize, bool bold, qreal spacing = 0)
{
    QFont f(family);
    f.setPixelSize(qRound(pixelSize));
    f.setBold(bold);
    f.setHintingPreference(QFont::PreferNoHinting);
    if (spacing != 0)
        f.setLetterSpacing(QFont::AbsoluteSpacing, spacing);
    return f;
}

// Text as a path centred in a rectangle, so that it can be filled with a
// gradient and outlined.
QPainterPath textPath(const QString& text, const QFont& f, const QRectF& box)
{
    QPainterPath path;
    path.addText(0, 0, f, text);
    const QRectF b = path.boundingRect();
    path.translate(box.center() - b.center());
    return path;
}

QLinearGradient goldGradient(qreal top, qreal bottom, qreal lift = 0)
{
    QLinearGradient g(0, top, 0, bottom);
    g.setColorAt(0, goldLight.lighter(100 + int(lift * 10)));
    g.setColorAt(0.5, gold.lighter(100 + int(lift * 12)));
    g.setColorAt(1, goldDark.lighter(100 + int(lift * 15)));
    return g;
}

// A thin line that fades out at both ends.
void fadedLine(QPainter& p, QPointF a, QPointF b, const QColor& c, qreal width = 1)
{
    QLinearGradient g(a, b);
    g.setColorAt(0, alpha(c, 0));
    g.setColorAt(0.15, c);
    g.setColorAt(0.85, c);
    g.setColorAt(1, alpha(c, 0));
    p.setPen(QPen(QBrush(g), width));
    p.drawLine(a, b);
}

void diamond(QPainter& p, QPointF c, qreal r, const QColor& fill)
{
    QPainterPath d;
    d.moveTo(c.x(), c.y() - r);
    d.lineTo(c.x() + r, c.y());
    d.lineTo(c.x(), c.y() + r);
    d.lineTo(c.x() - r, c.y());
    d.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawPath(d);
}

// L-shaped gold bracket in a corner; sx, sy give the direction of the arms.
void cornerBracket(QPainter& p, QPointF at, qreal len, int sx, int sy, const QColor& c)
{
    p.setPen(QPen(c, 1.5, Qt::SolidLine, Qt::SquareCap));
    p.drawLine(at, at + QPointF(sx * len, 0));
    p.drawLine(at, at + QPointF(0, sy * len));
    diamond(p, at + QPointF(sx * 3.5, sy * 3.5), 2, c);
}

// The game's crest: a pointed shield with a gold rim holding a teal crystal.
void drawCrest(QPainter& p, const QRectF& r)
{
    const qreal w = r.width();
    const qreal h = r.height();
    auto at = [&](qreal fx, qreal fy) { return QPointF(r.left() + fx * w, r.top() + fy * h); };
    QPainterPath shield;
    shield.moveTo(at(0.5, 0.0));
    shield.lineTo(at(0.95, 0.16));
    shield.lineTo(at(0.92, 0.58));
    shield.quadTo(at(0.86, 0.82), at(0.5, 1.0));
    shield.quadTo(at(0.14, 0.82), at(0.08, 0.58));
    shield.lineTo(at(0.05, 0.16));
    shield.closeSubpath();

    QLinearGradient body(r.topLeft(), r.bottomLeft());
    body.setColorAt(0, slate.lighter(130));
    body.setColorAt(1, ink);
    p.setBrush(body);
    p.setPen(QPen(QBrush(goldGradient(r.top(), r.bottom())), qMax(1.0, w * 0.07), Qt::SolidLine,
                  Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(shield);

    // Glow behind the crystal, kept inside the shield.
    QRadialGradient glow(at(0.5, 0.46), w * 0.42);
    glow.setColorAt(0, alpha(teal, 90));
    glow.setColorAt(1, alpha(teal, 0));
    p.save();
    p.setClipPath(shield);
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawEllipse(at(0.5, 0.46), w * 0.42, w * 0.42);
    p.restore();

    // Crystal: a tall diamond with a lit and a shaded half.
    const QPointF top = at(0.5, 0.16);
    const QPointF bottom = at(0.5, 0.84);
    const QPointF left = at(0.29, 0.46);
    const QPointF right = at(0.71, 0.46);
    QPainterPath litHalf;
    litHalf.moveTo(top);
    litHalf.lineTo(left);
    litHalf.lineTo(bottom);
    litHalf.closeSubpath();
    QPainterPath darkHalf;
    darkHalf.moveTo(top);
    darkHalf.lineTo(right);
    darkHalf.lineTo(bottom);
    darkHalf.closeSubpath();
    QLinearGradient lit(top, bottom);
    lit.setColorAt(0, QColor(200, 250, 250));
    lit.setColorAt(1, teal);
    QLinearGradient shade(top, bottom);
    shade.setColorAt(0, teal);
    shade.setColorAt(1, tealDark);
    p.setPen(Qt::NoPen);
    p.setBrush(lit);
    p.drawPath(litHalf);
    p.setBrush(shade);
    p.drawPath(darkHalf);
    if (w >= 24) {
        p.setPen(QPen(alpha(goldLight, 200), qMax(0.8, w * 0.02)));
        p.drawLine(at(0.22, 0.46), at(0.33, 0.46));
        p.drawLine(at(0.67, 0.46), at(0.78, 0.46));
    }
}

// ---- window background ----------------------------------------------------

void hatch(QPainter& p, const QRectF& area, int step, const QColor& c)
{
    p.save();
    p.setClipRect(area);
    p.setPen(QPen(c, 1));
    for (int x = int(area.left()) - int(area.height()); x < area.right(); x += step)
        p.drawLine(QPointF(x, area.bottom()), QPointF(x + area.height(), area.top()));
    p.restore();
}

QImage background()
{
    const int W = 1112;
    const int H = 696;
    QImage img = canvas(W, H);
    QPainter p(&img);
    begin(p);

    // Translucent rim: the desktop shows faintly through the outer edge.
    QPainterPath outer;
    outer.addRoundedRect(QRectF(0, 0, W, H), 14, 14);
    p.fillPath(outer, alpha(ink, 190));

    QPainterPath body;
    body.addRoundedRect(QRectF(3, 3, W - 6, H - 6), 11, 11);
    QLinearGradient g(0, 0, 0, H);
    g.setColorAt(0, QColor(30, 42, 57));
    g.setColorAt(47.0 / H, QColor(16, 23, 32));
    g.setColorAt(48.0 / H, QColor(11, 16, 22));
    g.setColorAt(609.0 / H, QColor(10, 14, 20));
    g.setColorAt(610.0 / H, QColor(24, 33, 45));
    g.setColorAt(1, QColor(10, 14, 19));
    p.fillPath(body, g);

    // Title bar: a cold glow behind the logo, a faint hatch, a gold seam.
    p.save();
    p.setClipPath(body);
    QRadialGradient logoGlow(QPointF(120, 26), 260);
    logoGlow.setColorAt(0, alpha(teal, 38));
    logoGlow.setColorAt(1, alpha(teal, 0));
    p.fillRect(QRectF(0, 0, 520, 48), logoGlow);
    hatch(p, QRectF(0, 0, W, 47), 7, QColor(255, 255, 255, 6));
    hatch(p, QRectF(0, 610, W, H - 610), 7, QColor(255, 255, 255, 5));
    QRadialGradient buttonGlow(QPointF(980, 650), 300);
    buttonGlow.setColorAt(0, alpha(gold, 16));
    buttonGlow.setColorAt(1, alpha(gold, 0));
    p.fillRect(QRectF(600, 610, W - 600, H - 610), buttonGlow);
    p.restore();

    fadedLine(p, QPointF(6, 47.5), QPointF(W - 6, 47.5), alpha(gold, 150));
    fadedLine(p, QPointF(6, 609.5), QPointF(W - 6, 609.5), alpha(gold, 150));
    fadedLine(p, QPointF(40, 611.5), QPointF(W - 40, 611.5), QColor(0, 0, 0, 120));
    diamond(p, QPointF(W / 2.0, 47.5), 3.5, gold);
    diamond(p, QPointF(W / 2.0, 609.5), 3.5, gold);

    // Plate behind minimise and close.
    QPainterPath plate;
    plate.addRoundedRect(QRectF(1004.5, 9.5, 94, 35), 8, 8);
    p.fillPath(plate, QColor(0, 0, 0, 70));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(alpha(gold, 60), 1));
    p.drawPath(plate);
    p.setPen(QPen(alpha(gold, 70), 1));
    p.drawLine(QPointF(1051.5, 16), QPointF(1051.5, 38));

    // Content well: a dark inset with gold brackets at its corners.
    const QRectF well(5.5, 47.5, 1101, 562);
    p.fillRect(well.adjusted(0.5, 0.5, -0.5, -0.5), QColor(6, 9, 13));
    p.setPen(QPen(alpha(gold, 70), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(well);
    cornerBracket(p, well.topLeft() + QPointF(2, 2), 18, 1, 1, gold);
    cornerBracket(p, well.topRight() + QPointF(-2, 2), 18, -1, 1, gold);
    cornerBracket(p, well.bottomLeft() + QPointF(2, -2), 18, 1, -1, gold);
    cornerBracket(p, well.bottomRight() + QPointF(-2, -2), 18, -1, -1, gold);

    // Outer edge: a gold hairline and a dark line inside it.
    p.setBrush(Qt::NoBrush);
    QPainterPath edge;
    edge.addRoundedRect(QRectF(0.5, 0.5, W - 1, H - 1), 14, 14);
    p.setPen(QPen(alpha(gold, 120), 1));
    p.drawPath(edge);
    QPainterPath inner;
    inner.addRoundedRect(QRectF(2.5, 2.5, W - 5, H - 5), 12, 12);
    p.setPen(QPen(QColor(0, 0, 0, 150), 1));
    p.drawPath(inner);
    return img;
}

// ---- chrome buttons --------------------------------------------------------

QImage chromeButton(bool close)
{
    QImage img = canvas(26, 26);
    QPainter p(&img);
    begin(p);
    QRadialGradient g(QPointF(13, 10), 14);
    g.setColorAt(0, close ? QColor(92, 36, 32) : slate.lighter(130));
    g.setColorAt(1, close ? QColor(48, 16, 14) : night);
    p.setBrush(g);
    p.setPen(QPen(alpha(gold, 200), 1.2));
    p.drawEllipse(QRectF(1.5, 1.5, 23, 23));
    p.setPen(QPen(cream, 2, Qt::SolidLine, Qt::RoundCap));
    if (close) {
        p.drawLine(QPointF(9, 9), QPointF(17, 17));
        p.drawLine(QPointF(17, 9), QPointF(9, 17));
    } else {
        p.drawLine(QPointF(8, 13.5), QPointF(18, 13.5));
    }
    return img;
}

// ---- round start and pause button ---------------------------------------

enum class State { Normal, Hover, Pressed, Disabled };

QImage roundButton(State s)
{
    QImage img = canvas(152, 119);
    QPainter p(&img);
    begin(p);
    const QPointF c(72.5, 60.5);
    const qreal r = s == State::Pressed ? 53 : 54;
    // Soft halo, inside the mask drawn by the ring itself.
    QRadialGradient halo(c, r + 3);
    halo.setColorAt(0.85, alpha(teal, s == State::Hover ? 120 : 60));
    halo.setColorAt(1, alpha(teal, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(halo);
    p.drawEllipse(c, r + 3, r + 3);

    p.setBrush(goldGradient(c.y() - r, c.y() + r, s == State::Hover ? 1 : 0));
    p.drawEllipse(c, r, r);
    QRadialGradient face(c + QPointF(0, -r * 0.35), r * 1.2);
    const int lift = s == State::Hover ? 135 : s == State::Pressed ? 80 : 110;
    face.setColorAt(0, QColor(38, 140, 150).lighter(lift));
    face.setColorAt(0.6, tealDark.lighter(lift));
    face.setColorAt(1, QColor(6, 30, 38));
    p.setBrush(face);
    p.drawEllipse(c, r - 6, r - 6);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(alpha(goldLight, 120), 1));
    p.drawEllipse(c, r - 10, r - 10);
    // Gloss on the upper half.
    QLinearGradient gloss(0, c.y() - r, 0, c.y());
    gloss.setColorAt(0, QColor(255, 255, 255, s == State::Pressed ? 20 : 50));
    gloss.setColorAt(1, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(gloss);
    p.drawEllipse(QRectF(c.x() - r + 14, c.y() - r + 8, 2 * r - 28, r - 4));
    return img;
}

// ---- news tab --------------------------------------------------------------

QImage newsTab()
{
    QImage img = canvas(55, 35);
    QPainter p(&img);
    begin(p);
    QPainterPath tab;
    tab.moveTo(0.5, 34.5);
    tab.lineTo(0.5, 6);
    tab.quadTo(0.5, 0.5, 6, 0.5);
    tab.lineTo(49, 0.5);
    tab.quadTo(54.5, 0.5, 54.5, 6);
    tab.lineTo(54.5, 34.5);
    QLinearGradient g(0, 0, 0, 35);
    g.setColorAt(0, slate.lighter(140));
    g.setColorAt(1, night);
    p.setBrush(g);
    p.setPen(QPen(alpha(gold, 140), 1));
    p.drawPath(tab);
    p.setPen(QPen(gold, 2));
    p.drawLine(QPointF(2, 34), QPointF(53, 34));
    return img;
}

// ---- progress images -------------------------------------------------------

QImage progressChunk()
{
    QImage img = canvas(40, 10);
    QPainter p(&img);
    begin(p);
    QLinearGradient g(0, 0, 0, 10);
    g.setColorAt(0, QColor(190, 250, 250));
    g.setColorAt(0.45, teal);
    g.setColorAt(1, QColor(20, 110, 124));
    QPainterPath bar;
    bar.addRoundedRect(QRectF(0, 0, 40, 10), 5, 5);
    p.fillPath(bar, g);
    p.setPen(QPen(QColor(255, 255, 255, 110), 1));
    p.drawLine(QPointF(4, 1.5), QPointF(36, 1.5));
    return img;
}

QImage progressSource()
{
    QImage img = canvas(200, 10);
    QPainter p(&img);
    QLinearGradient g(0, 0, 200, 0);
    g.setColorAt(0, tealDark);
    g.setColorAt(0.55, teal);
    g.setColorAt(1, goldLight);
    p.fillRect(img.rect(), g);
    return img;
}

QImage divider()
{
    QImage img = canvas(4, 30);
    QPainter p(&img);
    begin(p);
    fadedLine(p, QPointF(1.5, 0), QPointF(1.5, 30), alpha(gold, 200));
    fadedLine(p, QPointF(2.5, 0), QPointF(2.5, 30), QColor(0, 0, 0, 160));
    return img;
}

// ---- content panels --------------------------------------------------------

// Layered ridges under a pale moon: the game's landscape, for the content area.
void landscape(QPainter& p, const QRectF& r)
{
    QLinearGradient sky(r.topLeft(), r.bottomLeft());
    sky.setColorAt(0, QColor(14, 26, 40));
    sky.setColorAt(0.6, QColor(30, 52, 66));
    sky.setColorAt(1, QColor(9, 14, 20));
    p.fillRect(r, sky);
    const QPointF moon(r.left() + r.width() * 0.72, r.top() + r.height() * 0.24);
    QRadialGradient moonGlow(moon, r.height() * 0.3);
    moonGlow.setColorAt(0, QColor(220, 240, 235, 90));
    moonGlow.setColorAt(1, QColor(220, 240, 235, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(moonGlow);
    p.drawEllipse(moon, r.height() * 0.3, r.height() * 0.3);
    p.setBrush(QColor(232, 240, 226, 220));
    p.drawEllipse(moon, r.height() * 0.05, r.height() * 0.05);
    const QColor layers[] = {QColor(34, 56, 70), QColor(22, 38, 50), QColor(13, 22, 31),
                             QColor(7, 11, 16)};
    for (int layer = 0; layer < 4; ++layer) {
        QPainterPath ridge;
        const qreal base = r.top() + r.height() * (0.5 + 0.12 * layer);
        ridge.moveTo(r.left(), r.bottom());
        for (int x = 0; x <= int(r.width()); x += 4) {
            const qreal t = x / r.width();
            const qreal y = base - r.height() * (0.08 * qSin(t * 7.0 + layer * 1.7) +
                                                 0.05 * qSin(t * 17.0 + layer * 0.9) +
                                                 0.025 * qSin(t * 41.0 + layer * 2.3));
            ridge.lineTo(r.left() + x, y);
        }
        ridge.lineTo(r.right(), r.bottom());
        ridge.closeSubpath();
        p.setBrush(layers[layer]);
        p.drawPath(ridge);
    }
}

QImage contentFrame(bool scene)
{
    QImage img = canvas(1100, 561);
    QPainter p(&img);
    begin(p);
    if (scene) {
        landscape(p, QRectF(img.rect()));
    } else {
        QRadialGradient g(QPointF(550, 260), 700);
        g.setColorAt(0, QColor(20, 30, 42));
        g.setColorAt(1, QColor(6, 9, 13));
        p.fillRect(img.rect(), g);
        hatch(p, QRectF(img.rect()), 9, QColor(255, 255, 255, 5));
    }
    p.setPen(QPen(alpha(gold, 90), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(0.5, 0.5, 1099, 560));
    return img;
}

QImage tipsPanel()
{
    QImage img = canvas(202, 200);
    QPainter p(&img);
    begin(p);
    QPainterPath panel;
    panel.addRoundedRect(QRectF(0.5, 0.5, 201, 199), 8, 8);
    QLinearGradient g(0, 0, 0, 200);
    g.setColorAt(0, QColor(24, 36, 50, 225));
    g.setColorAt(1, QColor(8, 12, 18, 235));
    p.fillPath(panel, g);
    p.setPen(QPen(alpha(gold, 130), 1));
    p.drawPath(panel);
    fadedLine(p, QPointF(20, 42.5), QPointF(182, 42.5), alpha(gold, 170));
    diamond(p, QPointF(101, 42.5), 3, gold);
    cornerBracket(p, QPointF(5, 5), 12, 1, 1, alpha(gold, 200));
    cornerBracket(p, QPointF(197, 5), 12, -1, 1, alpha(gold, 200));
    cornerBracket(p, QPointF(5, 195), 12, 1, -1, alpha(gold, 200));
    cornerBracket(p, QPointF(197, 195), 12, -1, -1, alpha(gold, 200));
    return img;
}

QImage crestImage(int w, int h)
{
    QImage img = canvas(w, h);
    QPainter p(&img);
    begin(p);
    drawCrest(p, QRectF(4, 3, w - 8, h - 6));
    return img;
}

// ---- bottom bar buttons ---------------------------------------------------

QPainterPath chamfered(const QRectF& r, qreal cut)
{
    QPainterPath path;
    path.moveTo(r.left() + cut, r.top());
    path.lineTo(r.right() - cut, r.top());
    path.lineTo(r.right(), r.top() + cut);
    path.lineTo(r.right(), r.bottom() - cut);
    path.lineTo(r.right() - cut, r.bottom());
    path.lineTo(r.left() + cut, r.bottom());
    path.lineTo(r.left(), r.bottom() - cut);
    path.lineTo(r.left(), r.top() + cut);
    path.closeSubpath();
    return path;
}

QImage wideButton(State s)
{
    QImage img = canvas(200, 50);
    QPainter p(&img);
    begin(p);
    const QRectF r(1.5, 1.5, 197, 47);
    const QPainterPath shape = chamfered(r, 9);
    QLinearGradient g(0, 0, 0, 50);
    switch (s) {
    case State::Normal:
        g.setColorAt(0, QColor(250, 226, 156));
        g.setColorAt(0.5, QColor(218, 170, 80));
        g.setColorAt(1, QColor(160, 112, 40));
        break;
    case State::Hover:
        g.setColorAt(0, QColor(255, 240, 188));
        g.setColorAt(0.5, QColor(238, 194, 102));
        g.setColorAt(1, QColor(184, 132, 52));
        break;
    case State::Pressed:
        g.setColorAt(0, QColor(170, 120, 46));
        g.setColorAt(0.5, QColor(204, 156, 70));
        g.setColorAt(1, QColor(230, 196, 120));
        break;
    case State::Disabled:
        g.setColorAt(0, QColor(118, 122, 128));
        g.setColorAt(0.5, QColor(86, 90, 97));
        g.setColorAt(1, QColor(58, 62, 68));
        break;
    }
    p.fillPath(shape, g);
    const bool off = s == State::Disabled;
    p.setPen(QPen(off ? QColor(36, 39, 44) : QColor(74, 48, 14), 1.5));
    p.drawPath(shape);
    // Inner bevel.
    p.setPen(QPen(QColor(255, 255, 255, s == State::Pressed ? 40 : off ? 50 : 110), 1));
    p.drawPath(chamfered(r.adjusted(3, 3, -3, -3), 6));
    // Play mark in its own slot on the right.
    const QRectF slot(146, 9, 40, 32);
    p.setPen(QPen(off ? QColor(40, 43, 48, 150) : QColor(90, 58, 18, 150), 1));
    p.drawLine(QPointF(slot.left() - 4, 11), QPointF(slot.left() - 4, 39));
    QPainterPath play;
    const QPointF c = slot.center() + QPointF(1, 0);
    play.moveTo(c + QPointF(-6, -9));
    play.lineTo(c + QPointF(9, 0));
    play.lineTo(c + QPointF(-6, 9));
    play.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(off ? QColor(44, 47, 52) : QColor(76, 46, 12));
    p.drawPath(play);
    p.setBrush(off ? QColor(150, 154, 160, 90) : QColor(255, 244, 210, 120));
    p.drawPath(play.translated(0, 1).subtracted(play));
    return img;
}

QImage menuButton(bool hover)
{
    QImage img = canvas(60, 50);
    QPainter p(&img);
    begin(p);
    const QPainterPath shape = chamfered(QRectF(1.5, 1.5, 57, 47), 9);
    QLinearGradient g(0, 0, 0, 50);
    g.setColorAt(0, hover ? slate.lighter(170) : slate.lighter(130));
    g.setColorAt(1, hover ? night.lighter(140) : night);
    p.fillPath(shape, g);
    p.setPen(QPen(alpha(gold, hover ? 230 : 160), 1.5));
    p.drawPath(shape);
    // Gear, centred on the part that the start button leaves visible.
    const QPointF c(23.5, 25);
    const QColor ink = hover ? goldLight : gold;
    QPainterPath gear;
    for (int i = 0; i < 8; ++i) {
        QPainterPath tooth;
        tooth.addRoundedRect(QRectF(-2.6, -11, 5.2, 6), 1, 1);
        QTransform t;
        t.translate(c.x(), c.y());
        t.rotate(i * 45);
        gear = gear.united(t.map(tooth));
    }
    QPainterPath ring;
    ring.addEllipse(c, 7.5, 7.5);
    gear = gear.united(ring);
    QPainterPath hole;
    hole.addEllipse(c, 3.2, 3.2);
    gear = gear.subtracted(hole);
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawPath(gear);
    return img;
}

// Engraved word for the wide button: dark letters with a light lower edge.
QImage buttonWord(const QString& text, int w, qreal spacing)
{
    QImage img = canvas(w, 24);
    QPainter p(&img);
    begin(p);
    const QPainterPath path =
        textPath(text, font(cjkFamily, 19, true, spacing), QRectF(0, 0, w, 24));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 246, 214, 130));
    p.drawPath(path.translated(0, 1));
    p.setBrush(QColor(58, 34, 8));
    p.drawPath(path);
    return img;
}

// ---- logos and icons -------------------------------------------------------

QImage logo(const QString& tag)
{
    QImage img = canvas(210, 32);
    QPainter p(&img);
    begin(p);
    drawCrest(p, QRectF(2, 1, 26, 30));
    const QPainterPath word = [&] {
        QPainterPath path;
        path.addText(0, 0, font(serifFamily, 19, true, 1.5), QStringLiteral("DREVNA"));
        const QRectF b = path.boundingRect();
        path.translate(QPointF(36, 16) - QPointF(b.left(), b.center().y()));
        return path;
    }();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 160));
    p.drawPath(word.translated(1, 1.5));
    p.setBrush(goldGradient(word.boundingRect().top(), word.boundingRect().bottom()));
    p.drawPath(word);
    const qreal x = word.boundingRect().right() + 6;
    p.setPen(QPen(alpha(gold, 140), 1));
    p.drawLine(QPointF(x + 0.5, 8), QPointF(x + 0.5, 24));
    QFont small = font(QStringLiteral("DejaVu Sans"), 9, true, 0.6);
    p.setFont(small);
    p.setPen(QColor(160, 214, 216));
    p.drawText(QRectF(x + 6, 0, 210 - x - 6, 32), Qt::AlignLeft | Qt::AlignVCenter, tag);
    return img;
}

QImage appIcon(int size, const QString& badge, const QColor& badgeColour)
{
    QImage img = canvas(size, size);
    QPainter p(&img);
    begin(p);
    const qreal s = size;
    const qreal m = s / 32.0;
    QPainterPath tile;
    tile.addRoundedRect(QRectF(m, m, s - 2 * m, s - 2 * m), s * 0.2, s * 0.2);
    QLinearGradient g(0, 0, 0, s);
    g.setColorAt(0, slate.lighter(140));
    g.setColorAt(1, ink);
    p.fillPath(tile, g);
    p.setPen(QPen(alpha(gold, 220), qMax(1.0, s / 40.0)));
    p.drawPath(tile);
    drawCrest(p, QRectF(s * 0.2, s * 0.14, s * 0.6, s * 0.72));
    if (!badge.isEmpty() && size >= 24) {
        const QPointF c(s * 0.78, s * 0.78);
        const qreal r = s * 0.18;
        p.setPen(QPen(alpha(goldLight, 230), qMax(1.0, s / 48.0)));
        p.setBrush(badgeColour);
        p.drawEllipse(c, r, r);
        if (size >= 32) {
            const QPainterPath letter =
                textPath(badge, font(QStringLiteral("DejaVu Sans"), r * 1.25, true),
                         QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r));
            p.setPen(Qt::NoPen);
            p.setBrush(Qt::white);
            p.drawPath(letter);
        }
    }
    return img;
}

bool writeQrc()
{
    QSaveFile out(outDir + QStringLiteral("/img.qrc"));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;
    QTextStream s(&out);
    s << "<RCC>\n    <qresource prefix=\"/img\">\n";
    QStringList sorted = written;
    sorted.sort();
    for (const QString& name : sorted)
        s << "        <file>" << name << "</file>\n";
    s << "    </qresource>\n</RCC>\n";
    s.flush();
    return out.commit();
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    outDir = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(outDir)) {
        fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    for (const QString& family : {cjkFamily, serifFamily}) {
        if (!QFontDatabase().families().contains(family))
            fprintf(stderr, "warning: font %s is missing, text will differ\n", qPrintable(family));
    }

    bool ok = true;
    ok &= savePng(background(), QStringLiteral("di.png"));
    ok &= savePng(chromeButton(true), QStringLiteral("guanbi.png"));
    ok &= savePng(chromeButton(false), QStringLiteral("tiao.png"));
    ok &= savePng(roundButton(State::Normal), QStringLiteral("pxz_danzc.png"));
    ok &= savePng(roundButton(State::Hover), QStringLiteral("pxz_dznxz.png"));
    ok &= savePng(roundButton(State::Pressed), QStringLiteral("pxz_dandj.png"));
    ok &= savePng(newsTab(), QStringLiteral("pxz_xiaobiaoqian.png"));
    ok &= savePng(progressSource(), QStringLiteral("pxz_xzt.png"));
    ok &= savePng(progressChunk(), QStringLiteral("jindutiao.png"));
    ok &= savePng(divider(), QStringLiteral("fengexian.png"));
    ok &= savePng(contentFrame(true), QStringLiteral("Display.png"));
    ok &= savePng(contentFrame(false), QStringLiteral("zhongkuang.png"));
    ok &= savePng(tipsPanel(), QStringLiteral("youkuang.png"));
    ok &= savePng(crestImage(97, 103), QStringLiteral("logo.png"));
    ok &= savePng(menuButton(false), QStringLiteral("anniu_zhengchang.png"));
    ok &= savePng(menuButton(true), QStringLiteral("anniu_xuanfu.png"));
    ok &= savePng(wideButton(State::Normal), QStringLiteral("heng_zhengchang.png"));
    ok &= savePng(wideButton(State::Hover), QStringLiteral("heng_xuanfu.png"));
    ok &= savePng(wideButton(State::Pressed), QStringLiteral("heng_dianji.png"));
    ok &= savePng(wideButton(State::Disabled), QStringLiteral("heng_jinyong.png"));
    ok &=
        savePng(buttonWord(QStringLiteral("开始游戏"), 102, 3), QStringLiteral("kaishiyouxi.png"));
    ok &= savePng(buttonWord(QStringLiteral("开启下载"), 102, 3), QStringLiteral("kaiqxiazai.png"));
    ok &= savePng(buttonWord(QStringLiteral("暂停"), 49, 3), QStringLiteral("zanting.png"));
    ok &= savePng(logo(QStringLiteral("STELLMAR")), QStringLiteral("stm-pc_logo.png"));
    ok &= savePng(logo(QStringLiteral("RAVLO")), QStringLiteral("ravlo-pc_logo.png"));
    ok &= savePng(logo(QStringLiteral("VOSSIK")), QStringLiteral("pl_tovel.png"));
    ok &= savePng(logo(QStringLiteral("NIMBREL")), QStringLiteral("nb_logo.png"));
    ok &= savePng(logo(QStringLiteral("QUORVEL")), QStringLiteral("qv_logo.png"));

    struct ChannelIcon {
        const char* base;
        const char* badge;
        QColor colour;
    };
    const ChannelIcon icons[] = {
        {"zsb_stm_icon", "S", QColor(44, 104, 170)},
        {"zsb_nb_icon", "N", QColor(40, 140, 92)},
        {"zsb_quorvel_icon", "Q", QColor(116, 70, 160)},
        {"zsb_Vossik_icon", "V", QColor(168, 52, 48)},
    };
    for (const ChannelIcon& icon : icons) {
        const QString badge = QString::fromLatin1(icon.badge);
        const QColor colour = icon.colour;
        ok &= savePng(appIcon(256, badge, colour), QString::fromLatin1(icon.base) + ".png");
        ok &= saveIco([&](int n) { return appIcon(n, badge, colour); },
                      QString::fromLatin1(icon.base) + ".ico");
    }
    ok &= saveIco([](int n) { return appIcon(n, QString(), QColor()); },
                  QStringLiteral("Application.ico"));
    ok &= saveIco([](int n) { return appIcon(n, QString(), QColor()); },
                  QStringLiteral("drevnalauncher.ico"));

    ok &= writeQrc();
    return ok ? 0 : 1;
}
