#include "stationline.h"

#include <QJsonDocument>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace {

const char *outcomeKey(LineDatabase::Outcome outcome)
{
    switch (outcome) {
    case LineDatabase::Outcome::NoSerial:
        break;
    case LineDatabase::Outcome::Given:
        return "given";
    case LineDatabase::Outcome::Burnt:
        return "burnt";
    case LineDatabase::Outcome::Kept:
        return "kept";
    }
    return "none";
}

bool outcomeOf(const QString &key, LineDatabase::Outcome *outcome)
{
    for (LineDatabase::Outcome each : {LineDatabase::Outcome::NoSerial, LineDatabase::Outcome::Given,
             LineDatabase::Outcome::Burnt, LineDatabase::Outcome::Kept}) {
        if (key == QLatin1String(outcomeKey(each))) {
            *outcome = each;
            return true;
        }
    }
    return false;
}

} // namespace

// Lets the line's thread reach the station's side for as long as it is there.
struct LineLink
{
    std::mutex mutex;
    StationLine *front = nullptr;
};

// The line database on a thread of its own: everything that waits for the
// database waits here, and what the station must know goes back to it.
class LineWorker : public QObject
{
public:
    explicit LineWorker(std::shared_ptr<LineLink> link)
        : m_link(std::move(link))
    {
        m_lookAgain.setSingleShot(true);
        m_lookAgain.setInterval(StationLine::lookAgainMs);
        connect(&m_lookAgain, &QTimer::timeout, this, &LineWorker::lookAgain);
    }

    LineDatabase::Error open(const LineAddress &address, const QString &station, const SerialRange &range,
        const QVector<StationLine::Pending> &waiting, QStringList *burnt)
    {
        m_db = std::make_unique<LineDatabase>();
        m_waiting = waiting;
        LineDatabase::Error failed = m_db->open(address);
        if (!failed.isError())
            failed = m_db->start(station, range);
        // A serial an earlier run gave just before it ended is given, not
        // burnt: its settle, kept in the file, goes first.
        if (!failed.isError() && !sendWaiting(false))
            failed = m_lastError;
        if (!failed.isError())
            failed = m_db->burnLeftovers(burnt);
        return failed;
    }

    QUuid runId() const { return m_db->runId(); }
    bool sentAll() const { return m_waiting.isEmpty(); }
    qint64 left() const { return m_db->left(); }

    void reserve(const StationLine::ReserveAnswer &answer)
    {
        QString serial;
        const LineDatabase::Error error = m_reachable ? m_db->reserve(&serial) : LineDatabase::Error {};
        if (error.isError() && error.kind != LineDatabase::Error::Kind::RangeUsedUp)
            lost(error);
        const bool unreachable = !m_reachable;
        const QString usedUp = error.kind == LineDatabase::Error::Kind::RangeUsedUp
            ? LineDatabase::errorText(error)
            : QString();
        const qint64 left = m_db->left();
        tell([answer, serial, unreachable, usedUp, left](StationLine *front) {
            front->m_left = left;
            if (unreachable)
                answer(QString(), front->unreachableText());
            else
                answer(serial, usedUp);
        });
    }

    void claim(const QString &serial, const QString &holder, const StationLine::ClaimAnswer &answer)
    {
        bool keeps = false;
        const LineDatabase::Error error
            = m_reachable ? m_db->claim(serial, holder, &keeps) : LineDatabase::Error {};
        if (error.isError())
            lost(error);
        const bool unreachable = !m_reachable;
        tell([answer, serial, unreachable, keeps](StationLine *front) {
            if (unreachable)
                answer(StationLine::Claim::Unreachable, front->unreachableText());
            else if (keeps)
                answer(StationLine::Claim::Kept, QString());
            else
                answer(StationLine::Claim::Taken,
                    QStringLiteral("its serial %1 belongs to another unit of the line").arg(serial));
        });
    }

    void settle(const StationLine::Pending &pending)
    {
        m_waiting.append(pending);
        if (m_reachable)
            sendWaiting();
    }

    void readTotals()
    {
        LineDatabase::Report report;
        const LineDatabase::Error error
            = m_reachable ? m_db->report(QDateTime(), QString(), &report) : LineDatabase::Error {};
        if (error.isError())
            lost(error);
        const bool read = m_reachable;
        tell([report, read](StationLine *front) {
            front->m_totalsAsked = false;
            if (read) {
                front->m_totals = report;
                front->m_haveTotals = true;
            }
        });
    }

    // Lets go of the database (and of the station's name there) and ends the thread.
    void end()
    {
        m_lookAgain.stop();
        m_db.reset();
        thread()->quit();
    }

private:
    // Runs what on the station's thread, unless the station has let go of the line.
    template <typename What> void tell(What what)
    {
        const std::lock_guard<std::mutex> locker(m_link->mutex);
        if (StationLine *front = m_link->front)
            QMetaObject::invokeMethod(
                front, [front, what] { what(front); }, Qt::QueuedConnection);
    }

    // Sends what waits, oldest first; stops at the first failure. The
    // station hears of each settle confirmed, except of those it sent at open().
    bool sendWaiting(bool tellEach = true)
    {
        while (!m_waiting.isEmpty()) {
            const StationLine::Pending &next = m_waiting.first();
            const LineDatabase::Error error
                = m_db->settle(next.runId, next.unitKey, next.serial, next.outcome, next.line);
            if (error.isError()) {
                lost(error);
                return false;
            }
            m_waiting.removeFirst();
            if (tellEach)
                tell([](StationLine *front) { front->confirmed(); });
        }
        return true;
    }

    void lost(const LineDatabase::Error &error)
    {
        m_lastError = error;
        m_lookAgain.start();
        if (!m_reachable)
            return;
        m_reachable = false;
        const QString reason = LineDatabase::errorText(error);
        tell([reason](StationLine *front) { front->lost(reason); });
    }

    void lookAgain()
    {
        if (m_reachable)
            return;
        if (m_waiting.isEmpty()) {
            const LineDatabase::Error error = m_db->check();
            if (error.isError()) {
                lost(error);
                return;
            }
        } else if (!sendWaiting()) {
            return;
        }
        m_reachable = true;
        tell([](StationLine *front) { front->found(); });
    }

    std::shared_ptr<LineLink> m_link;
    std::unique_ptr<LineDatabase> m_db;
    QVector<StationLine::Pending> m_waiting;
    QTimer m_lookAgain {this};
    bool m_reachable = true;
    LineDatabase::Error m_lastError;
};

StationLine::StationLine(QObject *parent)
    : QObject(parent)
    , m_link(std::make_shared<LineLink>())
    , m_thread(new QThread)
    , m_worker(new LineWorker(m_link))
{
    m_link->front = this;
    m_thread->setObjectName(QStringLiteral("line database"));
    m_worker->moveToThread(m_thread);
    m_thread->start();
}

StationLine::~StationLine()
{
    {
        const std::lock_guard<std::mutex> locker(m_link->mutex);
        m_link->front = nullptr;
    }
    LineWorker *worker = m_worker;
    QMetaObject::invokeMethod(
        worker, [worker] { worker->end(); }, Qt::QueuedConnection);
    if (m_thread->wait(endWaitMs)) {
        // Confirmed after the station stopped listening: nothing waits in the file.
        QString ignored;
        if (!m_runId.isNull() && m_worker->sentAll())
            m_queue.cut(0, &ignored);
        delete m_worker;
        delete m_thread;
        return;
    }
    // Held in a call to a database that stopped answering: left to the end
    // of the process, which takes its connection with it.
    static auto *const abandoned = new std::vector<std::pair<QThread *, LineWorker *>>;
    abandoned->emplace_back(m_thread, m_worker);
}

bool StationLine::open(const LineAddress &address, const QString &station, const SerialRange &range,
    const QString &queueFile, QString *error, QStringList *burnt)
{
    m_queueFile = queueFile;
    QVector<Pending> waiting;
    if (!readQueue(&waiting, error))
        return false;
    // Shared with the line's thread, which may still be in a call once this gives up waiting.
    struct Opened
    {
        std::mutex mutex;
        std::condition_variable doneChanged;
        bool done = false;
        LineDatabase::Error error;
        QStringList burnt;
        QUuid runId;
        qint64 left = 0;
    };
    auto opened = std::make_shared<Opened>();
    LineWorker *worker = m_worker;
    QMetaObject::invokeMethod(
        worker,
        [worker, opened, address, station, range, waiting] {
            QStringList burnt;
            const LineDatabase::Error error = worker->open(address, station, range, waiting, &burnt);
            const std::lock_guard<std::mutex> locker(opened->mutex);
            opened->error = error;
            opened->burnt = burnt;
            if (!error.isError()) {
                opened->runId = worker->runId();
                opened->left = worker->left();
            }
            opened->done = true;
            opened->doneChanged.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> locker(opened->mutex);
    if (!opened->doneChanged.wait_for(
            locker, std::chrono::milliseconds(openWaitMs), [&opened] { return opened->done; })) {
        *error = QStringLiteral("line database %1: it did not answer within %2 seconds")
                     .arg(address.displayText())
                     .arg(openWaitMs / 1000);
        return false;
    }
    if (opened->error.isError()) {
        *error = QStringLiteral("line database %1: %2")
                     .arg(address.displayText(), LineDatabase::errorText(opened->error));
        return false;
    }
    *burnt = opened->burnt;
    m_runId = opened->runId;
    m_left = opened->left;
    // Every settle in the file is confirmed. Should the cut fail, they are
    // sent once more at the next start, and count once.
    QString ignored;
    m_queue.cut(0, &ignored);
    return true;
}

bool StationLine::readQueue(QVector<Pending> *waiting, QString *error)
{
    QString reason;
    switch (m_queue.open(m_queueFile, &reason)) {
    case DurableLog::OpenResult::Opened:
        break;
    case DurableLog::OpenResult::HeldElsewhere:
        *error = QStringLiteral("%1: another station is using it").arg(m_queueFile);
        return false;
    case DurableLog::OpenResult::Failed:
        *error = QStringLiteral("%1: %2").arg(m_queueFile, reason);
        return false;
    }
    DurableFile::Status status;
    if (!m_queue.status(&status, &reason)) {
        *error = QStringLiteral("%1: %2").arg(m_queueFile, reason);
        return false;
    }
    if (status.kind != DurableFile::Status::Kind::Regular || status.links > 1) {
        *error = QStringLiteral("%1: not a regular file of one name, so it cannot keep the line's settles")
                     .arg(m_queueFile);
        return false;
    }
    const qint64 size = m_queue.size(&reason);
    QByteArray data(int(qMax<qint64>(size, 0)), '\0');
    if (size < 0 || !m_queue.read(0, data.data(), size)) {
        *error = QStringLiteral("%1: cannot be read: %2").arg(m_queueFile, reason);
        return false;
    }
    // A settle torn by a crash was never confirmed to its unit: its unit's
    // record line says what became of it, and its serial stays reserved
    // (burnt at this start).
    const int whole = data.lastIndexOf('\n') + 1;
    if (whole < data.size() && !m_queue.cut(whole, &reason)) {
        *error = QStringLiteral("%1: %2").arg(m_queueFile, reason);
        return false;
    }
    int number = 0;
    for (const QByteArray &text : data.left(whole).split('\n')) {
        ++number;
        if (text.isEmpty())
            continue;
        const QJsonObject entry = QJsonDocument::fromJson(text).object();
        Pending pending {entry.value(QLatin1String("unit")).toString(),
            QUuid(entry.value(QLatin1String("run_id")).toString()),
            entry.value(QLatin1String("serial")).toString(), LineDatabase::Outcome::NoSerial,
            entry.value(QLatin1String("line")).toObject()};
        if (pending.unitKey.isEmpty() || pending.runId.isNull() || pending.line.isEmpty()
            || !outcomeOf(entry.value(QLatin1String("outcome")).toString(), &pending.outcome)) {
            *error
                = QStringLiteral("%1: line %2 is damaged; the settles it keeps were never sent to the line")
                      .arg(m_queueFile)
                      .arg(number);
            return false;
        }
        waiting->append(pending);
        m_lastKeptAtOpen = pending.line;
    }
    return true;
}

QString StationLine::unreachableText() const
{
    return QStringLiteral("line database unreachable: %1").arg(m_unreachable);
}

void StationLine::reserve(const ReserveAnswer &answer)
{
    if (!isReachable()) {
        answer(QString(), unreachableText());
        return;
    }
    LineWorker *worker = m_worker;
    QMetaObject::invokeMethod(
        worker, [worker, answer] { worker->reserve(answer); }, Qt::QueuedConnection);
}

void StationLine::claim(const QString &serial, const QString &holder, const ClaimAnswer &answer)
{
    if (!isReachable()) {
        answer(Claim::Unreachable, unreachableText());
        return;
    }
    LineWorker *worker = m_worker;
    QMetaObject::invokeMethod(
        worker, [worker, serial, holder, answer] { worker->claim(serial, holder, answer); },
        Qt::QueuedConnection);
}

bool StationLine::keep(const QString &unitKey, const QString &serial, LineDatabase::Outcome outcome,
    const QJsonObject &recordLine, QString *error)
{
    const Pending pending {unitKey, m_runId, serial, outcome, recordLine};
    const QJsonObject entry {{QStringLiteral("run_id"), pending.runId.toString(QUuid::WithoutBraces)},
        {QStringLiteral("unit"), unitKey}, {QStringLiteral("serial"), serial},
        {QStringLiteral("outcome"), QLatin1String(outcomeKey(outcome))},
        {QStringLiteral("line"), recordLine}};
    QString reason;
    if (!m_queue.append(QJsonDocument(entry).toJson(QJsonDocument::Compact) + '\n', &reason)) {
        *error = QStringLiteral("%1: %2").arg(m_queueFile, reason);
        return false;
    }
    ++m_unconfirmed;
    LineWorker *worker = m_worker;
    QMetaObject::invokeMethod(
        worker, [worker, pending] { worker->settle(pending); }, Qt::QueuedConnection);
    return true;
}

bool StationLine::totals(LineDatabase::Report *report)
{
    if (!isReachable())
        return false;
    if (!m_totalsAsked) {
        m_totalsAsked = true;
        LineWorker *worker = m_worker;
        QMetaObject::invokeMethod(
            worker, [worker] { worker->readTotals(); }, Qt::QueuedConnection);
    }
    if (m_haveTotals)
        *report = m_totals;
    return m_haveTotals;
}

void StationLine::confirmed()
{
    if (--m_unconfirmed > 0)
        return;
    // Every settle in the file is confirmed. Should the cut fail, they are
    // sent once more at the next start, and count once.
    QString ignored;
    m_queue.cut(0, &ignored);
    emit settled();
}

void StationLine::lost(const QString &reason)
{
    m_unreachable = reason;
    emit unreachable(reason);
}

void StationLine::found()
{
    m_unreachable.clear();
    emit reachable();
}
