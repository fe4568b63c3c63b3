#include "tests/ui/ui_apsim.h"

#include <QFile>
#include <QJsonDocument>

#include <string>
#include <vector>

#include "tests/support/apsim_process.h"

namespace aputil::test {

ApSim::ApSim() : sim_(std::make_unique<Apsim>()) {}

ApSim::~ApSim() = default;

bool ApSim::Start(const QStringList& options, const QByteArray& state) {
    std::vector<std::string> args;
    for (const QString& option : options) args.push_back(option.toStdString());
    aps.clear();
    logStart_ = 0;
    std::string error;
    if (!sim_->Start(std::move(args), state.toStdString(), error)) {
        failure_ = QString::fromStdString(error);
        return false;
    }
    for (const Apsim::Ap& ap : sim_->aps()) {
        aps.push_back(SimAp{ap.index, QString::fromStdString(apsim::MacText(ap.mac)), QString::fromStdString(ap.name)});
    }
    return true;
}

bool ApSim::Reset() {
    const QString answer = Command(QStringLiteral("reset"));
    if (answer != QLatin1String("ok reset")) {
        failure_ = QStringLiteral("\"reset\" answered \"%1\"").arg(answer);
        return false;
    }
    // The log's "reset" line is written before the answer.
    logStart_ = static_cast<int>(CompleteLines().size());
    return true;
}

QString ApSim::Command(const QString& command) { return QString::fromStdString(sim_->Command(command.toStdString())); }

void ApSim::Stop() { sim_->Stop(); }

QString ApSim::DumpDir() const { return QString::fromStdString(sim_->DumpDir()); }

QList<QByteArray> ApSim::CompleteLines() const {
    QFile file(QString::fromStdString(sim_->LogPath()));
    if (!file.open(QIODevice::ReadOnly)) return {};
    QList<QByteArray> lines = file.readAll().split('\n');
    lines.removeLast();  // after the last newline: nothing, or a line being written
    return lines;
}

QList<QJsonObject> ApSim::Requests(int type) const {
    QList<QJsonObject> out;
    for (const QJsonObject& o : Events()) {
        if (o.value(QStringLiteral("event")).toString() == QLatin1String("request") &&
            o.value(QStringLiteral("type")).toInt(-1) == type) {
            out.push_back(o);
        }
    }
    return out;
}

int ApSim::LogLines() const { return static_cast<int>(CompleteLines().size()) - logStart_; }

QList<QJsonObject> ApSim::Events(int fromLine) const {
    QList<QJsonObject> out;
    const QList<QByteArray> lines = CompleteLines();
    for (qsizetype i = logStart_ + fromLine; i < lines.size(); ++i) {
        out.push_back(QJsonDocument::fromJson(lines[i]).object());
    }
    return out;
}

int ApSim::Commits(bool okOnly) const {
    int n = 0;
    for (const QJsonObject& o : Events()) {
        if (o.value(QStringLiteral("event")).toString() == QLatin1String("commit") &&
            (!okOnly || o.value(QStringLiteral("ok")).toBool())) {
            ++n;
        }
    }
    return n;
}

}  // namespace aputil::test
