// The real program's --doctor (text and JSON Lines) on pseudo-terminals held by this process,
// free, and out of an ordinary user's reach; --version --verbose; and a copy of the program
// with one byte of its carried firmware changed, which must refuse to start.

#include "FieldKit.h"
#include "Pty.h"

#include "firmware/FirmwareCheck.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kExe = QStringLiteral(CORVANE_UPDATER_EXE);

struct Run {
    int exitCode = -1; // -1: did not finish in time
    QByteArray out;
    QByteArray err;
    [[nodiscard]] QList<QByteArray> lines() const {
        QList<QByteArray> l = out.split('\n');
        if (!l.isEmpty() && l.constLast().isEmpty()) {
            l.removeLast();
        }
        return l;
    }
};

QProcessEnvironment offscreen() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

Run run(const QString& program, const QStringList& args,
        const QProcessEnvironment& env = offscreen(), int timeoutMs = 120000) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    Run r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(5000);
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

// The JSON objects of a --doctor --json run; fails the test on a line that is not one.
QList<QJsonObject> objects(const Run& r) {
    QList<QJsonObject> list;
    for (const QByteArray& line : r.lines()) {
        QJsonParseError error{};
        const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject()) {
            qWarning("not a JSON object: %s", line.constData());
            return {};
        }
        list << doc.object();
    }
    return list;
}

QJsonObject finding(const QList<QJsonObject>& all, const QString& check, const QString& device) {
    for (const QJsonObject& o : all) {
        if (o.value(QStringLiteral("check")).toString() == check &&
            o.value(QStringLiteral("device")).toString() == device) {
            return o;
        }
    }
    return {};
}

QString ownName() {
    QFile comm(QStringLiteral("/proc/self/comm"));
    return comm.open(QIODevice::ReadOnly) ? QString::fromLatin1(comm.readAll().trimmed())
                                          : QString();
}

const QByteArray& programBytes() {
    static const QByteArray bytes = [] {
        QFile f(kExe);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    return bytes;
}

// A copy of the program in `dir` with one byte of the carried image `image` changed at
// `offset`; empty when the image is not stored once, as it is, in the executable.
QString damagedCopy(const QTemporaryDir& dir, const QString& image, int offset) {
    QFile source(QStringLiteral(CORVANE_BUILD_DATA_DIR "/") + image);
    if (!source.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray bytes = source.readAll();
    QByteArray program = programBytes();
    const qsizetype at = program.indexOf(bytes);
    if (at < 0 || program.indexOf(bytes, at + 1) >= 0) {
        return {};
    }
    program[at + offset] = static_cast<char>(program[at + offset] ^ 0x40);
    QFile copy(dir.filePath(QStringLiteral("corvane-updater")));
    if (!copy.open(QIODevice::WriteOnly) || copy.write(program) != program.size()) {
        return {};
    }
    copy.close();
    copy.setPermissions(copy.permissions() | QFileDevice::ExeOwner);
    return copy.fileName();
}

} // namespace

class TestKitCli : public QObject {
    Q_OBJECT
private slots:
    void doctorNamesTheHolder();
    void doctorJsonOnHeldPort();
    void doctorFreePort();
    void doctorUnprivileged();
    void doctorNeedsNoDisplay();
    void versionVerbose();
    void fieldKitOptions_data();
    void fieldKitOptions();
    void damagedCopyRefused_data();
    void damagedCopyRefused();
    void damagedCopyWindow();
    void originalRuns();
};

void TestKitCli::doctorNamesTheHolder() {
    corvane::testsupport::Pty pty; // this process keeps the line open
    QVERIFY(pty.isValid());
    const Run r =
        run(kExe, {QStringLiteral("--doctor"), QStringLiteral("--port"), pty.slavePath()});
    QCOMPARE(r.exitCode, 9);
    // "LEVEL CHECK DEVICE: DETAIL. Fix: FIX", one per line.
    QStringList inUse;
    QStringList others;
    for (const QByteArray& raw : r.lines()) {
        const QString line = QString::fromLocal8Bit(raw);
        const QStringList words = line.split(u' ', Qt::SkipEmptyParts);
        if (words.size() > 2 && words[2] == pty.slavePath() + u':') {
            (words[1] == QLatin1String("in-use") ? inUse : others) << line;
        }
    }
    QCOMPARE(inUse.size(), 1);
    const QString held = QStringLiteral("%1: held by pid %2 (%3). Fix: ")
                             .arg(pty.slavePath())
                             .arg(::getpid())
                             .arg(ownName());
    QVERIFY2(inUse[0].startsWith(QStringLiteral("PROBLEM ")), qPrintable(inUse[0]));
    QVERIFY2(inUse[0].contains(held), qPrintable(inUse[0]));
    // Besides: the adapter, and its access judged from its permissions (a held port is not
    // opened).
    QCOMPARE(others.size(), 2);
    QVERIFY2(others[0].split(u' ', Qt::SkipEmptyParts)[1] == QLatin1String("adapter"),
             qPrintable(others[0]));
    QVERIFY2(others[1].startsWith(QStringLiteral("ok      access ")), qPrintable(others[1]));
    QVERIFY2(others[1].contains(QStringLiteral("not opened while another process holds it")),
             qPrintable(others[1]));
    QVERIFY(r.lines().constLast().startsWith("Result: "));
    QVERIFY2(r.err.isEmpty(), r.err.constData());
}

void TestKitCli::doctorJsonOnHeldPort() {
    corvane::testsupport::Pty pty;
    QVERIFY(pty.isValid());
    const Run r = run(kExe, {QStringLiteral("--doctor"), QStringLiteral("--json"),
                             QStringLiteral("--port"), pty.slavePath()});
    QCOMPARE(r.exitCode, 9);
    QVERIFY2(r.err.isEmpty(), r.err.constData());
    const QList<QJsonObject> all = objects(r);
    QVERIFY(all.size() >= 3);
    QVERIFY(r.out.startsWith("{\"type\":\"doctor\",\"schema\":1,\"version\":\""));
    const QJsonObject inUse = finding(all, QStringLiteral("in-use"), pty.slavePath());
    QCOMPARE(inUse.value(QStringLiteral("ok")).toBool(true), false);
    QVERIFY(inUse.value(QStringLiteral("detail"))
                .toString()
                .contains(QStringLiteral("pid %1 (%2)").arg(::getpid()).arg(ownName())));
    QVERIFY(!inUse.value(QStringLiteral("fix")).toString().isEmpty());
    const QJsonObject result = all.constLast();
    QCOMPARE(result.value(QStringLiteral("type")).toString(), QStringLiteral("result"));
    QCOMPARE(result.value(QStringLiteral("exit_code")).toInt(), 9);
    for (const QJsonObject& o : all.mid(1, all.size() - 2)) {
        QCOMPARE(o.value(QStringLiteral("type")).toString(), QStringLiteral("finding"));
        QVERIFY(o.contains(QStringLiteral("check")) && o.contains(QStringLiteral("ok")) &&
                o.contains(QStringLiteral("detail")) && o.contains(QStringLiteral("fix")));
    }
}

void TestKitCli::doctorFreePort() {
    corvane::testsupport::Pty pty(false);
    QVERIFY(pty.isValid());
    const Run r = run(kExe, {QStringLiteral("--doctor"), QStringLiteral("--json"),
                             QStringLiteral("--port"), pty.slavePath()});
    const QList<QJsonObject> all = objects(r);
    QVERIFY(!all.isEmpty());
    for (const char* check : {"adapter", "in-use", "access", "low-latency"}) {
        const QJsonObject f = finding(all, QLatin1String(check), pty.slavePath());
        QVERIFY2(f.value(QStringLiteral("ok")).toBool(false), check);
    }
    QVERIFY(finding(all, QStringLiteral("low-latency"), pty.slavePath())
                .value(QStringLiteral("detail"))
                .toString()
                .contains(QStringLiteral("pseudo-terminal")));
    QVERIFY(finding(all, QStringLiteral("carried-firmware"), QString())
                .value(QStringLiteral("ok"))
                .toBool(false));
    // The exit code follows the findings (this machine's ModemManager and brltty count too).
    bool anyProblem = false;
    for (const QJsonObject& o : all.mid(1, all.size() - 2)) {
        anyProblem = anyProblem || !o.value(QStringLiteral("ok")).toBool();
    }
    QCOMPARE(r.exitCode, anyProblem ? 9 : 0);
    QCOMPARE(all.constLast().value(QStringLiteral("exit_code")).toInt(), r.exitCode);
}

void TestKitCli::doctorUnprivileged() {
    if (::geteuid() != 0) {
        QSKIP("needs root to create a line that another user cannot open");
    }
    corvane::testsupport::Pty pty(
        false); // root's pseudo-terminal, closed to others (mode 0620 or 0600)
    QVERIFY(pty.isValid());
    struct stat st {};
    QCOMPARE(::stat(QFile::encodeName(pty.slavePath()).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07, 0u);
    const group* owner = ::getgrgid(st.st_gid);
    QVERIFY(owner);
    const QString group = QString::fromLocal8Bit(owner->gr_name);
    const Run r = run(QStringLiteral("sh"),
                      {QStringLiteral(CORVANE_RUN_UNPRIVILEGED), kExe, QStringLiteral("--doctor"),
                       QStringLiteral("--json"), QStringLiteral("--port"), pty.slavePath()});
    QCOMPARE(r.exitCode, 9);
    const QJsonObject access = finding(objects(r), QStringLiteral("access"), pty.slavePath());
    QCOMPARE(access.value(QStringLiteral("ok")).toBool(true), false);
    const QString detail = access.value(QStringLiteral("detail")).toString();
    QCOMPARE(detail, QStringLiteral("permission denied: the device belongs to group %1 (mode %2) "
                                    "and this user (nobody) is not in it")
                         .arg(group)
                         .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0')));
    QVERIFY2(access.value(QStringLiteral("fix"))
                 .toString()
                 .contains(QStringLiteral("sudo usermod -aG %1 nobody").arg(group)),
             qPrintable(access.value(QStringLiteral("fix")).toString()));
}

void TestKitCli::doctorNeedsNoDisplay() {
    // A display that cannot be reached: any application object with a window system would
    // stop the program here.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":97"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    const Run r = run(kExe, {QStringLiteral("--doctor")}, env);
    QVERIFY2(r.exitCode == 0 || r.exitCode == 9, r.err.constData());
    QVERIFY(r.lines().constLast().startsWith("Result: "));
    QVERIFY2(r.err.isEmpty(), r.err.constData());
}

void TestKitCli::versionVerbose() {
    const Run r = run(kExe, {QStringLiteral("--version"), QStringLiteral("--verbose")});
    QCOMPARE(r.exitCode, 0);
    const QStringList lines = QString::fromUtf8(r.out).split(u'\n', Qt::SkipEmptyParts);
    const QStringList expected = verboseVersionText(QStringLiteral("x"), carriedDigests());
    QCOMPARE(lines.size(), expected.size());
    QVERIFY(lines[0].startsWith(QStringLiteral("Corvane Firmware Updater ")));
    QCOMPARE(lines.mid(1), expected.mid(1));
    QVERIFY2(r.err.isEmpty(), r.err.constData());
}

void TestKitCli::fieldKitOptions_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says"); // on standard error, for a refused command line
    QTest::newRow("--json alone") << QStringList{"--json"} << 2
                                  << "--json needs --auto, --identify, --station or --doctor";
    QTest::newRow("--doctor --station")
        << QStringList{"--doctor", "--station"} << 2 << "--doctor checks this machine";
    QTest::newRow("--verbose alone")
        << QStringList{"--verbose"} << 2 << "--verbose goes with --version";
    QTest::newRow("--doctor --auto")
        << QStringList{"--doctor", "--auto"} << 2 << "--doctor checks this machine";
    QTest::newRow("--doctor --simulate")
        << QStringList{"--doctor", "--simulate"} << 2 << "--doctor checks this machine";
    QTest::newRow("--version -v --verbose") << QStringList{"-v", "--verbose"} << 0 << "";
}

void TestKitCli::fieldKitOptions() {
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, says);
    const Run r = run(kExe, args);
    QCOMPARE(r.exitCode, exitCode);
    QVERIFY2(QString::fromLocal8Bit(r.err).contains(says), r.err.constData());
    if (exitCode == 2) {
        QVERIFY(r.out.isEmpty());
    }
}

void TestKitCli::damagedCopyRefused_data() {
    QTest::addColumn<QString>("image");
    QTest::addColumn<int>("offset");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("inRange"); // the byte lies in the image's program range
    QTest::newRow("CPU-2's range, --auto")
        << "HFILE_2" << 0x1000 + 5 << QStringList{"--auto", "--simulate"} << 7 << true;
    QTest::newRow("outside CPU-1's range, --identify")
        << "HFILE_4001" << 0x10 << QStringList{"--identify", "--simulate"} << 7 << false;
    QTest::newRow("HMI's last byte, --version --verbose")
        << "HFILE_3" << 0xFFFF << QStringList{"--version", "--verbose"} << 7 << true;
    QTest::newRow("CPU-1's range, --doctor")
        << "HFILE_4004" << 0x0800 << QStringList{"--doctor", "--json"} << 9 << true;
}

void TestKitCli::damagedCopyRefused() {
    QFETCH(QString, image);
    QFETCH(int, offset);
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(bool, inRange);
    QTemporaryDir dir;
    const QString copy = damagedCopy(dir, image, offset);
    QVERIFY2(!copy.isEmpty(), "the image is not stored once, as it is, in the executable");
    const Run r = run(copy, args);
    QCOMPARE(r.exitCode, exitCode);
    if (exitCode == 9) {
        const QJsonObject f = finding(objects(r), QStringLiteral("carried-firmware"), QString());
        QCOMPARE(f.value(QStringLiteral("ok")).toBool(true), false);
        QCOMPARE(f.value(QStringLiteral("detail")).toString().contains(image), inRange);
        return;
    }
    const QList<QByteArray> err = r.err.split('\n');
    QCOMPARE(err.size(), 2); // one line and its end
    QVERIFY2(err[0].startsWith("corvane-updater: The program is damaged: "), err[0].constData());
    QVERIFY2(err[0].contains("Reinstall corvane-updater"), err[0].constData());
    QVERIFY2(err[0].contains("build data"), err[0].constData());
    QCOMPARE(err[0].contains(image.toLatin1() + " ("), inRange);
    // Nothing started: no simulated unit, no scan.
    if (args.first() != QLatin1String("--version")) {
        QVERIFY2(r.out.isEmpty(), r.out.constData());
    }
}

void TestKitCli::damagedCopyWindow() {
    QTemporaryDir dir;
    const QString copy = damagedCopy(dir, QStringLiteral("HFILE_2"), 0x2000);
    QVERIFY(!copy.isEmpty());

    // The window: the line on standard error, then the warning box, which waits for OK.
    QProcess p;
    p.setProcessEnvironment(offscreen());
    p.start(copy, {QStringLiteral("--simulate")});
    QDeadlineTimer deadline(30000);
    QByteArray err;
    while (!err.contains('\n') && !deadline.hasExpired() && p.state() != QProcess::NotRunning) {
        p.waitForReadyRead(200);
        err += p.readAllStandardError();
    }
    QVERIFY2(err.startsWith("corvane-updater: The program is damaged: "), err.constData());
    QTest::qWait(500);
    QCOMPARE(p.state(), QProcess::Running);
    QVERIFY(p.readAllStandardOutput().isEmpty()); // no simulated unit was started
    p.kill();
    QVERIFY(p.waitForFinished(5000));
}

void TestKitCli::originalRuns() {
    // The same run as the damaged copy's: it finds the simulated unit, due for an upgrade.
    const Run r = run(kExe, {QStringLiteral("--identify"), QStringLiteral("--simulate")});
    QCOMPARE(r.exitCode, 10);
    QVERIFY2(!r.err.contains("damaged"), r.err.constData());
}

QTEST_GUILESS_MAIN(TestKitCli)
#include "tst_kit_cli.moc"
