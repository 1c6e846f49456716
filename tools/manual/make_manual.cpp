// Renders the user's manual from Markdown into a PDF, pictures included:
//   make_manual MANUAL.md PICTURE_DIR OUT.pdf
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextImageFormat>
#include <QUrl>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: make_manual MANUAL.md PICTURE_DIR OUT.pdf\n");
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  QFile source(QString::fromLocal8Bit(argv[1]));
  if (!source.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "make_manual: cannot read %s\n", argv[1]);
    return 1;
  }
  const QString pictures = QString::fromLocal8Bit(argv[2]) + "/";

  QPdfWriter pdf(QString::fromLocal8Bit(argv[3]));
  pdf.setTitle("Kalvex User's Manual");
  pdf.setCreator("Kalvex");
  pdf.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(20, 18, 20, 18)));
  pdf.setResolution(96);

  QTextDocument doc;
  doc.setDefaultFont(QFont("DejaVu Sans", 10));
  doc.setBaseUrl(QUrl::fromLocalFile(pictures));
  doc.setMarkdown(QString::fromUtf8(source.readAll()));
  const QRectF page = pdf.pageLayout().paintRectPixels(pdf.resolution());
  doc.setPageSize(page.size());
  // Pictures are loaded here and fitted to the page width.
  const double maxWidth = page.width() - 4;
  for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      const QTextFragment fragment = it.fragment();
      if (!fragment.charFormat().isImageFormat()) continue;
      QTextImageFormat image = fragment.charFormat().toImageFormat();
      const QImage picture(pictures + image.name());
      if (picture.isNull()) {
        std::fprintf(stderr, "make_manual: missing picture %s\n", qPrintable(image.name()));
        return 1;
      }
      doc.addResource(QTextDocument::ImageResource, QUrl(image.name()), picture);
      const double width = std::min<double>(picture.width(), maxWidth);
      image.setWidth(width);
      image.setHeight(picture.height() * width / picture.width());
      QTextCursor cursor(&doc);
      cursor.setPosition(fragment.position());
      cursor.setPosition(fragment.position() + fragment.length(), QTextCursor::KeepAnchor);
      cursor.setCharFormat(image);
    }
  }
  doc.print(&pdf);
  return 0;
}
