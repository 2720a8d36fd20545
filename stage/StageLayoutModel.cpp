#include "stage/StageLayoutModel.h"

#include "app/DevFileLog.h"
#include "manifest/ContractColor.h"
#include "stage/ObjectAnimationPolicy.h"
#include "web/SdkBridge.h"
#include "web/WebPackageScheme.h"

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>

namespace talvorine {

namespace {

// scheme://host[:port] of a page URL, the port only when it is not the scheme's default.
QString originOf(const QUrl& url)
{
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        return {};
    // QUrl writes the host as a URL needs it (an IPv6 address in brackets, names in ACE form).
    QUrl origin = url.adjusted(QUrl::RemoveUserInfo | QUrl::RemovePath | QUrl::RemoveQuery
                               | QUrl::RemoveFragment);
    const int defaultPort = url.scheme() == QLatin1String("https") ? 443
        : url.scheme() == QLatin1String("http")                    ? 80
                                                                   : -1;
    if (origin.port() == defaultPort)
        origin.setPort(-1);
    return origin.toString(QUrl::FullyEncoded);
}

QVariantMap sizeMap(double width, double height)
{
    return {{QStringLiteral("width"), width}, {QStringLiteral("height"), height}};
}

const QList<int>& layoutRoles()
{
    using R = StageLayoutModel::Role;
    static const QList<int> roles{
        R::ApplicationContextRole, R::KindRole,          R::LayerRole,
        R::PaintOrderRole,         R::SourceIndexRole,   R::ViewportRectRole,
        R::ClipRectRole,           R::ContentRectRole,   R::ContentClipRectRole,
        R::ReadinessRectRole,      R::ContentFitRole,    R::MutedRole,
        R::StreamSourcesRole,      R::TitleRole,         R::EnterTypeRole,
        R::EnterStaggerRole,       R::EnterRole,         R::MotionRole,
    };
    return roles;
}

} // namespace

bool StageLayoutModel::Row::sameLayout(const Row& other) const
{
    return id == other.id && kind == other.kind && layer == other.layer
        && paintOrder == other.paintOrder && sourceIndex == other.sourceIndex
        && viewportRect == other.viewportRect && clipRect == other.clipRect
        && contentRect == other.contentRect && contentClipRect == other.contentClipRect
        && readinessRect == other.readinessRect && contentFit == other.contentFit
        && muted == other.muted && streamSources == other.streamSources && title == other.title
        && enterType == other.enterType && enterStagger == other.enterStagger
        && enter == other.enter && motion == other.motion && applicationId == other.applicationId
        && releaseId == other.releaseId;
}

StageLayoutModel::StageLayoutModel(QObject* parent)
    : QAbstractListModel(parent), backgroundColor_(ContractColor::opaqueBlack())
{
}

QString StageLayoutModel::kindName(PrimitiveKind kind)
{
    switch (kind) {
    case PrimitiveKind::application:
        return QStringLiteral("application");
    case PrimitiveKind::image:
        return QStringLiteral("image");
    case PrimitiveKind::video:
        return QStringLiteral("video");
    case PrimitiveKind::stream:
        return QStringLiteral("stream");
    case PrimitiveKind::iframe:
        return QStringLiteral("iframe");
    case PrimitiveKind::text:
        return QStringLiteral("text");
    case PrimitiveKind::box:
        return QStringLiteral("box");
    case PrimitiveKind::line:
        return QStringLiteral("line");
    }
    return {};
}

void StageLayoutModel::setScene(const Page& page, const ResolvedPage& resolved,
                                const QString& screenId, quint64 generation,
                                const QSizeF& viewport)
{
    const bool reducedMotion = ObjectAnimationPolicy::reducedMotionRequested();
    QList<Row> rows;
    rows.reserve(resolved.primitives.size());
    for (const ResolvedPrimitive& placed : resolved.primitives) {
        const auto source = std::find_if(page.primitives.cbegin(), page.primitives.cend(),
                                         [&](const Primitive& p) { return p.id == placed.id; });
        // The layout never places the drawn kinds; a primitive missing from the page cannot
        // be drawn either.
        if (source == page.primitives.cend() || qint32(source->kind) > qint32(PrimitiveKind::iframe)
            || qint32(source->kind) < 0)
            continue;
        const Primitive& primitive = *source;
        const QJsonObject& binding = primitive.binding;
        Row row;
        row.id = placed.id;
        row.kind = primitive.kind;
        row.layer = placed.layer;
        row.paintOrder = placed.paintOrder;
        row.sourceIndex = placed.sourceIndex;
        row.viewportRect = placed.viewportRect;
        row.clipRect = placed.clipRect;
        row.contentRect = placed.contentRect;
        row.contentClipRect = placed.contentClipRect;
        row.readinessRect = placed.readinessGeometry;
        row.contentFit = primitive.contentFit;
        row.muted = binding.value(QLatin1String("muted")).toBool();
        // The manifest keeps only the stream sources it accepted, in order.
        row.streamSources = binding.value(QLatin1String("sources")).toArray().toVariantList();
        row.title = binding.value(primitive.kind == PrimitiveKind::iframe ? QLatin1String("title")
                                                                           : QLatin1String("alt"))
                        .toString();
        const double scaleX = placed.viewportRect.width() / primitive.rect.width();
        const double scaleY = placed.viewportRect.height() / primitive.rect.height();
        if (placed.enterType && !reducedMotion) {
            row.enter = ObjectAnimationPolicy::describeEnter(*placed.enterType,
                                                             placed.enterStagger.value_or(0),
                                                             scaleX, scaleY);
            if (!row.enter.isEmpty()) {
                row.enterType = *placed.enterType;
                row.enterStagger = placed.enterStagger.value_or(0);
            }
        }
        if (placed.motion && !reducedMotion)
            row.motion = ObjectAnimationPolicy::describeMotion(*placed.motion, primitive.rect,
                                                               placed.viewportRect);
        if (primitive.kind == PrimitiveKind::application) {
            row.applicationId = binding.value(QLatin1String("applicationId")).toString();
            row.releaseId = binding.value(QLatin1String("releaseId")).toString();
        } else if (primitive.kind == PrimitiveKind::iframe) {
            // An iframe shows a remote page that needs no verification: complete at once.
            row.contentSource =
                QUrl(binding.value(QLatin1String("src")).toString(), QUrl::TolerantMode);
            row.expectedOrigin = originOf(row.contentSource);
            if (row.expectedOrigin.isEmpty())
                row.contentSource.clear();
        }
        rows.append(std::move(row));
    }

    bool inPlace = !rows_.isEmpty() && generation == generation_ && page.id == pageId_
        && rows.size() == rows_.size();
    for (qsizetype i = 0; inPlace && i < rows.size(); ++i)
        inPlace = rows.at(i).id == rows_.at(i).id && rows.at(i).kind == rows_.at(i).kind;

    if (inPlace) {
        const bool contextChanged =
            screenId != screenId_ || viewport != viewport_
            || (page.advance.value(QLatin1String("mode")).toString() == QLatin1String("application"))
                != pageAdvance_;
        int first = -1;
        int last = -1;
        for (qsizetype i = 0; i < rows.size(); ++i) {
            Row& current = rows_[i];
            const bool changed = !current.sameLayout(rows.at(i))
                || (contextChanged && current.kind == PrimitiveKind::application);
            rows[i].contentSource = current.contentSource;
            rows[i].expectedOrigin = current.expectedOrigin;
            rows[i].packageSha256 = current.packageSha256;
            current = std::move(rows[i]);
            if (changed) {
                first = first < 0 ? int(i) : first;
                last = int(i);
            }
        }
        setSceneProperties(page, resolved, screenId, generation, viewport);
        if (first >= 0)
            emit dataChanged(index(first), index(last), layoutRoles());
        emit sceneChanged();
        return;
    }

    beginResetModel();
    rows_ = std::move(rows);
    setSceneProperties(page, resolved, screenId, generation, viewport);
    endResetModel();
    emit sceneChanged();
}

void StageLayoutModel::setSceneProperties(const Page& page, const ResolvedPage& resolved,
                                          const QString& screenId, quint64 generation,
                                          const QSizeF& viewport)
{
    pageId_ = page.id;
    generation_ = generation;
    screenId_ = screenId;
    viewport_ = viewport;
    canvasRect_ = resolved.canvasViewportRect;
    canvasClipRect_ = resolved.canvasClipRect;
    backgroundKind_ = resolved.background.kind;
    backgroundColor_ = ContractColor::fromCanonical(resolved.background.color);
    backgroundStops_.clear();
    for (const LinearGradientStop& stop : resolved.background.stops) {
        backgroundStops_.append(QVariantMap{{QStringLiteral("at"), stop.at},
                                            {QStringLiteral("color"),
                                             ContractColor::fromCanonical(stop.color)}});
    }
    pageAdvance_ =
        page.advance.value(QLatin1String("mode")).toString() == QLatin1String("application");
}

bool StageLayoutModel::bindVerifiedMediaFile(const QString& primitiveId, const QUrl& localFile)
{
    const int row = rowOf(primitiveId);
    if (row < 0 || !isMediaKind(rows_.at(row).kind) || !localFile.isLocalFile())
        return false;
    if (rows_.at(row).contentSource != localFile) {
        rows_[row].contentSource = localFile;
        emit dataChanged(index(row), index(row), {ContentSourceRole});
    }
    return true;
}

bool StageLayoutModel::bindVerifiedApplicationPackage(const QString& primitiveId,
                                                      const QString& sha256,
                                                      const QString& entrypoint)
{
    const QUrl source = WebPackageScheme::entryUrl(sha256, entrypoint);
    if (!source.isValid() || source.isEmpty())
        return false;
    const int row = rowOf(primitiveId);
    if (row < 0 || rows_.at(row).kind != PrimitiveKind::application)
        return false;
    QUrl originUrl = source;
    originUrl.setPath(QString());
    const QString origin = originUrl.toString(QUrl::FullyEncoded);

    Row& target = rows_[row];
    if (target.contentSource != source || target.expectedOrigin != origin
        || target.packageSha256 != sha256) {
        target.contentSource = source;
        target.expectedOrigin = origin;
        target.packageSha256 = sha256;
        emit dataChanged(index(row), index(row),
                         {ContentSourceRole, ExpectedOriginRole, PackageSha256Role});
    }
    DevFileLog::record(QStringLiteral("web.binding"),
                       {{QStringLiteral("origin_present"), !origin.isEmpty()},
                        {QStringLiteral("source_valid"), source.isValid()},
                        {QStringLiteral("sha_length"), int(sha256.size())}});
    return true;
}

void StageLayoutModel::clear()
{
    beginResetModel();
    rows_.clear();
    pageId_.clear();
    generation_ = 0;
    screenId_.clear();
    viewport_ = QSizeF();
    canvasRect_ = QRectF();
    canvasClipRect_ = QRectF();
    backgroundKind_ = 0;
    backgroundColor_ = ContractColor::opaqueBlack();
    backgroundStops_.clear();
    pageAdvance_ = false;
    endResetModel();
    emit sceneChanged();
}

void StageLayoutModel::setApplicationKvCapabilities(bool read, bool write)
{
    if (read == kvRead_ && write == kvWrite_)
        return;
    kvRead_ = read;
    kvWrite_ = write;
    for (int i = 0; i < rows_.size(); ++i) {
        if (rows_.at(i).kind == PrimitiveKind::application)
            emit dataChanged(index(i), index(i), {ApplicationContextRole});
    }
}

int StageLayoutModel::rowOf(const QString& primitiveId) const
{
    for (int i = 0; i < rows_.size(); ++i) {
        if (rows_.at(i).id == primitiveId)
            return i;
    }
    return -1;
}

QVariantMap StageLayoutModel::applicationContext(const Row& row) const
{
    if (row.kind != PrimitiveKind::application)
        return {};
    return {
        {QStringLiteral("application_id"), row.applicationId},
        {QStringLiteral("release_id"), row.releaseId},
        {QStringLiteral("primitive_id"), row.id},
        {QStringLiteral("generation"), double(generation_)},
        {QStringLiteral("capabilities"),
         QVariantMap{{QStringLiteral("page.advance"), pageAdvance_},
                     {QStringLiteral("kv.read"), kvRead_},
                     {QStringLiteral("kv.write"), kvWrite_}}},
        {QStringLiteral("viewport"), sizeMap(viewport_.width(), viewport_.height())},
        {QStringLiteral("primitive"),
         sizeMap(row.viewportRect.width(), row.viewportRect.height())},
        {QStringLiteral("screen_id"), screenId_},
    };
}

int StageLayoutModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(rows_.size());
}

QVariant StageLayoutModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= rows_.size())
        return {};
    const Row& row = rows_.at(index.row());
    switch (role) {
    case PrimitiveIdRole:
        return row.id;
    case PrimitiveRole:
        return kindName(row.kind);
    case ContentSourceRole:
        return row.contentSource;
    case ExpectedOriginRole:
        return row.expectedOrigin;
    case PackageSha256Role:
        return row.packageSha256;
    case ApplicationContextRole:
        return applicationContext(row);
    case KindRole:
        return int(row.kind);
    case LayerRole:
        return row.layer;
    case PaintOrderRole:
        return row.paintOrder;
    case SourceIndexRole:
        return row.sourceIndex;
    case ViewportRectRole:
        return row.viewportRect;
    case ClipRectRole:
        return row.clipRect;
    case ContentRectRole:
        return row.contentRect;
    case ContentClipRectRole:
        return row.contentClipRect;
    case ReadinessRectRole:
        return row.readinessRect;
    case ContentFitRole:
        return row.contentFit;
    case MutedRole:
        return row.muted;
    case StreamSourcesRole:
        return row.streamSources;
    case TitleRole:
        return row.title;
    case EnterTypeRole:
        return row.enterType;
    case EnterStaggerRole:
        return row.enterStagger;
    case EnterRole:
        return row.enter;
    case MotionRole:
        return row.motion;
    default:
        return {};
    }
}

QHash<int, QByteArray> StageLayoutModel::roleNames() const
{
    return {
        {PrimitiveIdRole, "primitiveId"},
        {PrimitiveRole, "primitive"},
        {ContentSourceRole, "contentSource"},
        {ExpectedOriginRole, "expectedOrigin"},
        {PackageSha256Role, "packageSha256"},
        {ApplicationContextRole, "applicationContext"},
        {KindRole, "kind"},
        {LayerRole, "layer"},
        {PaintOrderRole, "paintOrder"},
        {SourceIndexRole, "sourceIndex"},
        {ViewportRectRole, "viewportRect"},
        {ClipRectRole, "clipRect"},
        {ContentRectRole, "contentRect"},
        {ContentClipRectRole, "contentClipRect"},
        {ReadinessRectRole, "readinessRect"},
        {ContentFitRole, "contentFit"},
        {MutedRole, "muted"},
        {StreamSourcesRole, "streamSources"},
        {TitleRole, "title"},
        {EnterTypeRole, "enterType"},
        {EnterStaggerRole, "enterStagger"},
        {EnterRole, "enter"},
        {MotionRole, "motion"},
    };
}

QStringList StageLayoutModel::sdkHostFeatures() const
{
    return SdkBridge::hostFeatures();
}

} // namespace talvorine
