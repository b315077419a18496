// Renders the brand mark's badge as the application's desktop icon: one PNG per size, laid
// out as an icon theme folder (<out>/hicolor/<size>x<size>/apps/orvanta-voduve-corvel.png).
// Run at build time, without a display.
//   corvel_brand_icons <out folder> <size>...

#include <QApplication>
#include <QDir>
#include <QImage>

#include <cstdio>

#include "theme/orvanta_brand.hpp"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: corvel_brand_icons <out folder> <size>...\n", stderr);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const QString out = QString::fromLocal8Bit(argv[1]);
    for (int i = 2; i < argc; ++i) {
        bool ok = false;
        const int size = QString::fromLocal8Bit(argv[i]).toInt(&ok);
        if (!ok || size < 8 || size > 1024) {
            std::fprintf(stderr, "corvel_brand_icons: not an icon size: %s\n", argv[i]);
            return 2;
        }
        const QString folder = QStringLiteral("%1/hicolor/%2x%2/apps").arg(out).arg(size);
        if (!QDir().mkpath(folder)) {
            std::fprintf(stderr, "corvel_brand_icons: cannot create %s\n", qPrintable(folder));
            return 1;
        }
        const QImage image = corvel::theme::OrvantaMarkBadge::iconImage(size);
        const QString file = folder + QStringLiteral("/orvanta-voduve-corvel.png");
        if (!image.save(file, "PNG")) {
            std::fprintf(stderr, "corvel_brand_icons: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
