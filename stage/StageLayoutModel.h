#pragma once

#include "manifest/LayoutContract.h"
#include "manifest/Manifest.h"

#include <QAbstractListModel>
#include <QColor>
#include <QRectF>
#include <QSizeF>
#include <QStringList>
#include <QUrl>
#include <QVariantList>
#include <QVariantMap>

namespace talvorine {

// The rows one stage slot renders: one row per resolved primitive of the page on that slot,
// in paint order, joined with the page's primitive of the same id. Geometry and effects come
// with the scene; the content of media and application rows arrives later through the
// binding calls, once the files are verified.
class StageLayoutModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(QStringList sdkHostFeatures READ sdkHostFeatures CONSTANT)
    Q_PROPERTY(QString pageId READ pageId NOTIFY sceneChanged)
    Q_PROPERTY(double generation READ generationValue NOTIFY sceneChanged)
    Q_PROPERTY(QString screenId READ screenId NOTIFY sceneChanged)
    Q_PROPERTY(QSizeF viewport READ viewport NOTIFY sceneChanged)
    Q_PROPERTY(QRectF canvasRect READ canvasRect NOTIFY sceneChanged)
    Q_PROPERTY(QRectF canvasClipRect READ canvasClipRect NOTIFY sceneChanged)
    Q_PROPERTY(int backgroundKind READ backgroundKind NOTIFY sceneChanged)
    Q_PROPERTY(QColor backgroundColor READ backgroundColor NOTIFY sceneChanged)
    Q_PROPERTY(QVariantList backgroundStops READ backgroundStops NOTIFY sceneChanged)
    Q_PROPERTY(bool empty READ empty NOTIFY sceneChanged)
public:
    enum Role {
        PrimitiveIdRole = Qt::UserRole + 1,
        PrimitiveRole,
        ContentSourceRole,
        ExpectedOriginRole,
        PackageSha256Role,
        ApplicationContextRole,
        KindRole,
        LayerRole,
        PaintOrderRole,
        SourceIndexRole,
        ViewportRectRole,
        ClipRectRole,
        ContentRectRole,
        ContentClipRectRole,
        ReadinessRectRole,
        ContentFitRole,
        MutedRole,
        StreamSourcesRole,
        TitleRole,
        EnterTypeRole,
        EnterStaggerRole,
        EnterRole,
        MotionRole,
    };
    Q_ENUM(Role)

    explicit StageLayoutModel(QObject* parent);

    // Rebuilds the rows for the page. The same generation with the same page and the same
    // primitives in the same order updates the rows in place and keeps what was bound, so a
    // resize does not reload web placements or video pipelines; anything else resets.
    void setScene(const Page& page, const ResolvedPage& resolved, const QString& screenId,
                  quint64 generation, const QSizeF& viewport);
    bool bindVerifiedMediaFile(const QString& primitiveId, const QUrl& localFile);
    bool bindVerifiedApplicationPackage(const QString& primitiveId, const QString& sha256,
                                        const QString& entrypoint);
    void clear();
    void setApplicationKvCapabilities(bool read, bool write);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    QStringList sdkHostFeatures() const;
    QString pageId() const { return pageId_; }
    quint64 generation() const { return generation_; }
    double generationValue() const { return double(generation_); }
    QString screenId() const { return screenId_; }
    QSizeF viewport() const { return viewport_; }
    QRectF canvasRect() const { return canvasRect_; }
    QRectF canvasClipRect() const { return canvasClipRect_; }
    int backgroundKind() const { return backgroundKind_; }
    QColor backgroundColor() const { return backgroundColor_; }
    QVariantList backgroundStops() const { return backgroundStops_; }
    bool empty() const { return rows_.isEmpty(); }

    // The kind's name as the scene reads it ("" for a value outside the known kinds).
    static QString kindName(PrimitiveKind kind);

signals:
    void sceneChanged();

private:
    struct Row {
        QString id;
        PrimitiveKind kind = PrimitiveKind::image;
        int layer = 0;
        int paintOrder = 0;
        int sourceIndex = 0;
        QRectF viewportRect;
        QRectF clipRect;
        QRectF contentRect;
        QRectF contentClipRect;
        QRectF readinessRect;
        QString contentFit;
        bool muted = false;
        QVariantList streamSources;
        QString title;
        QString enterType;
        int enterStagger = 0;
        QVariantMap enter;
        QVariantMap motion;
        QString applicationId;
        QString releaseId;
        // Bound content: kept across an in-place rebuild.
        QUrl contentSource;
        QString expectedOrigin;
        QString packageSha256;

        bool sameLayout(const Row& other) const;
    };

    int rowOf(const QString& primitiveId) const;
    QVariantMap applicationContext(const Row& row) const;
    void setSceneProperties(const Page& page, const ResolvedPage& resolved,
                            const QString& screenId, quint64 generation, const QSizeF& viewport);

    QList<Row> rows_;
    QString pageId_;
    quint64 generation_ = 0;
    QString screenId_;
    QSizeF viewport_;
    QRectF canvasRect_;
    QRectF canvasClipRect_;
    int backgroundKind_ = 0;
    QColor backgroundColor_;
    QVariantList backgroundStops_;
    bool pageAdvance_ = false;
    bool kvRead_ = false;
    bool kvWrite_ = false;
};

} // namespace talvorine
