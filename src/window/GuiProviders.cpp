#include "GuiProviders.h"

#include "InitialsPicture.h"
#include "QtImageConverter.h"
#include "RTFWriter.h"
#include "device/QNSharableApp.h"
#include "interfaces/HTMLTextConverter.h"
#include "telemetry/core/VUDeviceTracker.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QTextDocument>

#include <atomic>

namespace {

// Telemetry asks for the screen size under its own lock on its own queue, so the size is
// read on the main thread here and whenever the screen changes, and handed over in atomics.
std::atomic<int> gScreenWidth{0};
std::atomic<int> gScreenHeight{0};

void rememberScreenSize(QScreen *screen)
{
    if (!screen)
        return;
    const QSize size = screen->size() * screen->devicePixelRatio();
    gScreenWidth.store(size.width());
    gScreenHeight.store(size.height());
}

class DocumentConverter : public HTMLTextConverter
{
public:
    // QTextDocument is reentrant: each call has its own, on the calling thread.
    QString plainTextFromHTML(const QString &html) const override
    {
        QTextDocument document;
        document.setHtml(html);
        return document.toPlainText();
    }

    QByteArray rtfFromHTML(const QString &html) const override
    {
        QTextDocument document;
        document.setHtml(html);
        return RTFWriter::rtfFromDocument(document);
    }
};

QByteArray scaleIconTo24(const QByteArray &png)
{
    QImage image;
    if (!image.loadFromData(png))
        return {};
    const QImage scaled = image.scaled(24, 24, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    scaled.save(&buffer, "PNG");
    return out;
}

} // namespace

void GuiProviders::install()
{
    QNSharableApp::setIconScaler(scaleIconTo24);
    HTMLTextConverter::install(std::make_shared<DocumentConverter>());
    ContactPictureMaker::install(std::make_shared<InitialsPicture>());
    ImageConverter::install(std::make_shared<QtImageConverter>());

    rememberScreenSize(QGuiApplication::primaryScreen());
    QObject::connect(qGuiApp, &QGuiApplication::primaryScreenChanged, qGuiApp, &rememberScreenSize);
    VUDeviceTracker::setScreenSizeProvider([] { return QSize(gScreenWidth.load(), gScreenHeight.load()); });
}
