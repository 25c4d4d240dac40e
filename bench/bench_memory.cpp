// The headless robot's memory over a long day: one client's strategy orders
// (entries and exits in turn, so the book stays one position), each
// dispatched, written to its terminal file, answered by the terminal
// ("executed") and read back, with the ticks a headless robot runs. The
// resident size is taken after 1 000 orders and after 100 000 (freed heap
// handed back to the system first, so only what is still held counts).

#include "common/workspace.h"

#include "engine/orderhandlers.h"

#include <QFile>

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <unistd.h>

namespace {

double residentMiB()
{
    malloc_trim(0);
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    if (fields.size() < 2)
        return -1;
    return fields[1].toDouble() * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

void BM_MemoryOverADay(benchmark::State &state)
{
    const int orders = static_cast<int>(state.range(0));
    constexpr int Early = 1000;
    constexpr int Batch = 500; // orders between two result checks
    for (auto _ : state) {
        BenchWorkspace b(1, 1);
        const QString tro = PathInFolder(b.settings.edtdirTT, QStringLiteral("Q1.tro"));
        QFile answers(tro);
        answers.open(QIODevice::WriteOnly | QIODevice::Append);
        double early = 0;
        qint32 answered = 0;
        for (int i = 1; i <= orders; ++i) {
            TPreOrder P = BenchWorkspace::order();
            P.Id = i;
            const bool entry = i % 2 == 1;
            P.OrderType = entry ? QStringLiteral("LE") : QStringLiteral("LX");
            P.OrderText = entry ? QStringLiteral("Buy 10 SBER 285.15 ") : QStringLiteral("Sell 10 SBER 285.15 ");
            b.robot->dispatcher().DispatchOrder(P, MakeNewOrder);
            if (i % Batch == 0 || i == orders) {
                // The terminal executes everything sent so far; the robot's
                // ticks read it back.
                QByteArray lines;
                for (; answered < b.robot->TransId(); ++answered)
                    lines += "TRANS_ID=" + QByteArray::number(answered) + ";STATUS=3;TRANS_NAME=\"Ввод заявки\";ORDER_NUMBER="
                        + QByteArray::number(500000 + answered) + ";\r\n";
                answers.write(lines);
                answers.flush();
                b.robot->actCheckTROExecute();
                b.robot->timQuikTimer();
                b.robot->timTable();
            }
            if (i == Early)
                early = residentMiB();
        }
        const double late = residentMiB();
        if (b.robot->TransId() != orders)
            state.SkipWithError("not every order was sent");
        state.counters["rss_1k_mib"] = early;
        state.counters["rss_end_mib"] = late;
        state.counters["growth_mib"] = late - early;
    }
}
// Argument: orders in the day.
BENCHMARK(BM_MemoryOverADay)->Arg(100000)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace
