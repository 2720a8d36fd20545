// Cost of the layout contract and the schedule evaluator on the paths the controller runs
// for every stage preparation and every civil minute.

#include "manifest/LayoutContract.h"
#include "manifest/ScheduleContract.h"

#include <QJsonObject>

#include <benchmark/benchmark.h>

namespace {

using namespace talvorine;

Page pageOf24()
{
    Page page;
    page.id = QStringLiteral("bench");
    page.canvas.width = 1920;
    page.canvas.height = 1080;
    page.canvas.viewportFit = QStringLiteral("contain");
    page.transition = QJsonObject{{QStringLiteral("type"), QStringLiteral("swipe-left")},
                                  {QStringLiteral("durationMs"), 800}, {QStringLiteral("elapsedMs"), 200}};
    for (int i = 0; i < 24; ++i) {
        Primitive p;
        p.id = QStringLiteral("p%1").arg(i);
        p.kind = i < 2 ? PrimitiveKind::iframe : PrimitiveKind::image;
        p.contentFit = i < 2 ? QStringLiteral("fill") : (i % 2 ? QStringLiteral("cover") : QStringLiteral("contain"));
        p.rect = QRectF((i % 6) * 320.5, (i / 6) * 270.25, 333.3, 280.7);
        p.layer = (i * 7) % 5;
        p.sourceIndex = i;
        if (i >= 2)
            p.intrinsicSize = QSizeF(1280 + i, 720 + i);
        p.enterType = QStringLiteral("fade-up");
        p.enterStagger = i % 9;
        page.primitives.append(p);
    }
    return page;
}

void BM_ResolveLayout24On4K(benchmark::State& state)
{
    const Page page = pageOf24();
    const QSizeF viewport(3840, 2160);
    for (auto _ : state) {
        LayoutResult result = LayoutContract::resolveLayout(page, viewport);
        if (!std::holds_alternative<ResolvedPage>(result)) {
            state.SkipWithError("the benchmark page did not resolve");
            break;
        }
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_ResolveLayout24On4K)->Unit(benchmark::kMicrosecond);

void BM_EligibleIndices100x16(benchmark::State& state)
{
    QList<std::optional<PageVisibility>> pages;
    for (int p = 0; p < 100; ++p) {
        QList<VisibilityWindow> windows;
        for (int w = 0; w < 16; ++w) {
            VisibilityWindow window;
            window.days = {Weekday((p + w) % 7), Weekday((p + w + 3) % 7)};
            window.startMinute = (w * 97) % 1440;
            window.endMinute = (w * 97 + 45 + p) % 1440;
            windows.append(window);
        }
        pages.append(PageVisibility{true, QStringLiteral("2024-01-01T00:00"), QStringLiteral("2030-01-01T00:00"), windows});
    }
    const std::optional<ZonedCivilTime> now = ScheduleEvaluator::civilTime(1714737630000, QStringLiteral("Europe/Berlin"));
    for (auto _ : state)
        benchmark::DoNotOptimize(ScheduleEvaluator::eligibleIndices(pages, now));
}
BENCHMARK(BM_EligibleIndices100x16)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
