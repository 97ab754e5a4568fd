// Built with QPB_OCR_PROFILE, recognition prints where its time went to
// standard error (for bench/ocr.sh); otherwise the clock compiles to nothing.
#pragma once

#ifdef QPB_OCR_PROFILE
#include <QElapsedTimer>

#include <atomic>

namespace batch {

enum Stage
{
    RenderStage,
    PreparationStage,
    RecognitionStage,
    TextLayerStage,
    MergeStage,
    LayoutStage,
    StageCount
};

extern std::atomic<qint64> stageNanoseconds[StageCount];

struct StageClock
{
    explicit StageClock(Stage stage) : m_stage(stage) { m_timer.start(); }
    ~StageClock() { stageNanoseconds[m_stage] += m_timer.nsecsElapsed(); }
    Stage m_stage;
    QElapsedTimer m_timer;
};

void printProfile(int pages);

} // namespace batch

#define QPB_STAGE_NAME(line) stageClock##line
#define QPB_STAGE_AT(stage, line) const batch::StageClock QPB_STAGE_NAME(line)(batch::stage)
#define QPB_STAGE(stage) QPB_STAGE_AT(stage, __LINE__)
#else
#define QPB_STAGE(stage)
namespace batch {
inline void printProfile(int) {}
} // namespace batch
#endif
