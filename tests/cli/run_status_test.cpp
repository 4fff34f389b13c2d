// SPDX-License-Identifier: MIT
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>

#include <gtest/gtest.h>

#include "run_status.h"

namespace vistrel::cli {
namespace {

// The status JSON parses and the metrics follow the text exposition format,
// also with a camera name that needs escaping and before any file or error.
TEST(RunStatus, JsonParsesAndMetricsFollowTheTextFormat) {
    TRunSnapshot snapshot;
    snapshot.camera = QStringLiteral("Cam \"A\" \\ 1\nx");
    snapshot.node = QStringLiteral("/dev/video2");
    snapshot.format = QStringLiteral("YUY2");
    snapshot.width = 640;
    snapshot.height = 480;
    snapshot.state = TRunState::WritingPaused;
    snapshot.counters.received = 10;
    snapshot.counters.written = 4;
    snapshot.counters.commandsFailed = 2;
    snapshot.lastFile = QStringLiteral("/p/260101120000000.jpg");
    snapshot.lastFileTime = QDateTime::fromMSecsSinceEpoch(1'767'268'800'123);
    snapshot.startTime = QDateTime::fromMSecsSinceEpoch(1'767'268'000'000);
    snapshot.version = QStringLiteral("1.0");

    QJsonParseError error;
    const QJsonObject status = QJsonDocument::fromJson(StatusJson(snapshot), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    EXPECT_EQ(status["camera"]["name"].toString(), snapshot.camera);
    EXPECT_EQ(status["camera"]["width"].toInt(), 640);
    EXPECT_EQ(status["state"].toString(), "writing_paused");
    EXPECT_EQ(status["counters"]["written"].toInteger(), 4);
    EXPECT_EQ(status["counters"]["commands_failed"].toInteger(), 2);
    EXPECT_TRUE(status["last_error"].isNull());
    EXPECT_EQ(QDateTime::fromString(status["last_file_time"].toString(), Qt::ISODateWithMs),
              snapshot.lastFileTime);

    const QString label = QStringLiteral(R"([a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*")");
    const QRegularExpression line(
        QStringLiteral(R"(^(# HELP [a-z_]+ \S.*|# TYPE [a-z_]+ (counter|gauge)|)"
                       R"([a-z_]+\{%1(,%1)*\} -?[0-9]+(\.[0-9]+)?)$)")
            .arg(label));
    const QStringList lines =
        QString::fromUtf8(MetricsText(snapshot)).split(u'\n', Qt::SkipEmptyParts);
    for (const QString& text : lines) {
        EXPECT_TRUE(line.match(text).hasMatch()) << text.toStdString();
    }
    EXPECT_TRUE(lines.contains(R"(vistrel_frames_received_total{camera="Cam \"A\" \\ 1\nx"} 10)"));
    EXPECT_EQ(lines.filter(QRegularExpression(R"(^vistrel_state\{.*\} 1$)")),
              QStringList{R"(vistrel_state{camera="Cam \"A\" \\ 1\nx",state="writing_paused"} 1)"});
    EXPECT_EQ(lines.filter(QRegularExpression(R"(^vistrel_state\{)")).size(), 5);
    EXPECT_TRUE(lines.contains(
        R"(vistrel_last_file_timestamp_seconds{camera="Cam \"A\" \\ 1\nx"} 1767268800.123)"));
    EXPECT_TRUE(
        lines.filter(QRegularExpression("^vistrel_last_error_timestamp_seconds\\{")).isEmpty());
}

}  // namespace
}  // namespace vistrel::cli
