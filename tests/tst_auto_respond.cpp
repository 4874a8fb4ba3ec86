#include "respond/auto_responder.h"
#include "respond/rule_text.h"

#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

enum Flag { HexResponse = 1, NoLineEnd = 2 };

const QDateTime Arrival(QDate(2026, 5, 12), QTime(21, 4, 5, 42));
const QList<qint64> SentSoFar{4};

void row(const char *name, MatchMode mode, const QString &watch, const QString &response, int flags,
         const QByteArray &chunk, const QByteArray &answer = {}) {
    QTest::newRow(name) << int(mode) << watch << response << flags << chunk << answer;
}

} // namespace

class tst_AutoRespond : public QObject {
    Q_OBJECT

    // Every mode's table has these columns; a null `answer` means the chunk draws none.
    static void columns() {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("watch");
        QTest::addColumn<QString>("response");
        QTest::addColumn<int>("flags");
        QTest::addColumn<QByteArray>("chunk");
        QTest::addColumn<QByteArray>("answer");
    }
    static void checkAnswer() {
        QFETCH(int, mode);
        QFETCH(QString, watch);
        QFETCH(QString, response);
        QFETCH(int, flags);
        QFETCH(QByteArray, chunk);
        QFETCH(QByteArray, answer);
        AutoResponder responder;
        QVERIFY(responder
                    .setRule(0, {MatchMode(mode), watch, response, bool(flags & HexResponse),
                                 !(flags & NoLineEnd)})
                    .ok());
        const ChunkAnswers result =
            responder.answersFor(chunk, {Arrival, u"127.0.0.1:5000"_s, SentSoFar});
        QCOMPARE(result.warnings, QStringList());
        QCOMPARE(result.answers.size(), answer.isNull() ? 0 : 1);
        if (!answer.isNull())
            QCOMPARE(result.answers[0].bytes, answer);
    }

private slots:
    void exact_data() {
        columns();
        const auto E = MatchMode::Exact;
        row("equal", E, "ping", "pong", 0, "ping", "pong\r\n");
        row("whole chunk only", E, "ping", "pong", 0, "ping\r\n");
        row("contained", E, "ping", "pong", 0, "a ping");
        row("tokens in watch", E, "hello%CRLF%", "ok", 0, "hello\r\n", "ok\r\n");
        row("case", E, "hello%CRLF%", "ok", 0, "Hello\r\n");
        row("empty watch", E, "", "ok", 0, "");
        row("rich tokens literal", E, "t", "%TIME% %DATE% %0 %x41% %COUNTER%", 0, "t",
            "%TIME% %DATE% %0 %x41% %COUNTER%\r\n");
        row("TAB and CR tokens", E, "t", "a%TAB%b%CR%", 0, "t", "a\tb\r\r\n");
        row("UTF-8", E, u"grüß"_s, u"süß"_s, 0, "gr\xc3\xbc\xc3\x9f", "s\xc3\xbc\xc3\x9f\r\n");
        row("NUL after", E, "a%TAB%", "ok", 0, QByteArray("a\t\0", 3));
        row("line end off", E, "ping", "pong", NoLineEnd, "ping", "pong");
        row("hex switch ignored", E, "ping", "06", HexResponse, "ping", "06\r\n");
    }
    void exact() { checkAnswer(); }

    void textModes_data() {
        columns();
        const auto C = MatchMode::Contains, S = MatchMode::Starts, E = MatchMode::Ends;
        row("contains", C, "ping", "got [%0]", 0, "xx ping yy", "got [ping]\r\n");
        row("contains, chunk boundary", C, "ping", "x", 0, "pi");
        row("contains, case", C, "PING", "x", 0, "ping");
        row("contains, binary", C, "ping", "%x00%%xFF%", 0, QByteArray("\0\xffping\xff\0", 8),
            QByteArray("\0\xff\r\n", 4));
        row("contains, unset groups", C, "ping", "[%1|%9]", 0, "ping", "[|]\r\n");
        row("contains, tokens in watch", C, "%CRLF%%CRLF%", "end", 0, "HTTP/1.0 200\r\n\r\nbody",
            "end\r\n");
        row("contains, %10 and lone %", C, "ab", "%10 100% %x4%", 0, "ab", "0 100% %x4%\r\n");
        row("starts", S, "GET ", "%0", 0, "GET /x", "GET \r\n");
        row("starts, not first", S, "GET ", "x", 0, " GET /");
        row("starts, chunk shorter", S, "GET /index", "x", 0, "GET");
        row("ends", E, "%CRLF%", "line", 0, "abc\r\n", "line\r\n");
        row("ends, NUL after", E, "%CRLF%", "line", 0, QByteArray("abc\r\n\0", 6));
        row("ends, %0 the tail", E, "ping", "[%0]", 0, "xx ping", "[ping]\r\n");
        row("rich tokens", C, "x", "%DATE% %TIME% %PEER% #%COUNTER%", 0, "x",
            "2026-05-12 21:04:05.042 127.0.0.1:5000 #5\r\n");
        row("hex response", C, "ping", "06 %0 03", HexResponse, "ping", "\x06ping\x03\r\n");
        row("hex response, no line end", C, "ping", "06 %0 03", HexResponse | NoLineEnd, "ping",
            "\x06ping\x03");
        row("hex response, tokens", S, "p", "41%TAB%42 %CRLF%", HexResponse | NoLineEnd, "p",
            "A\tB\r\n");
    }
    void textModes() { checkAnswer(); }

    void regex_data() {
        columns();
        const auto R = MatchMode::Regex;
        row("anchored", R, "^ping$", "pong", 0, "ping", "pong\r\n");
        row("anchored, not first", R, "^ping$", "pong", 0, "xping");
        row("$ before a final LF", R, "^ping$", "pong", 0, "ping\n", "pong\r\n");
        row("anywhere", R, "ping", "[%0]", 0, "a ping b", "[ping]\r\n");
        // Each start position is cheap, so the whole search stays within its time budget.
        row("many start positions", R, "[a-z]ping", "%0", 0, QByteArray(16384, 'a') + "ping",
            "aping\r\n");
        row("captures", R, "temp=(\\d+);(\\w+)?", "T=%1 U=%2", 0, "at temp=42;", "T=42 U=\r\n");
        row("unset group", R, "(a)|(b)", "[%1][%2]", 0, "b", "[][b]\r\n");
        row("eleven groups", R, "(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)", "%9%0", 0, "abcdefghijk",
            "iabcdefghijk\r\n");
        row("escaped bytes", R, "\\x00\\xFF(.)", "%1", 0, QByteArray("a\0\xff\x7f", 4), "\x7f\r\n");
        row("dot is any byte", R, "^a(.)(.)b$", "%2%1", 0,
            QByteArray("a\0\xff"
                       "b",
                       4),
            QByteArray("\xff\0\r\n", 4));
        row("dot is one byte", R, "^.$", "one", 0, "\xc3\xa9");
        row("(*UTF)", R, "(*UTF)^.$", "one", 0, "\xc3\xa9", "one\r\n");
        row("(*UTF), not UTF-8", R, "(*UTF)^.$", "one", 0, "\xff");
        row("start item kept first", R, "(*LIMIT_MATCH=1000)^p|q$", "x", 0, "aq", "x\r\n");
        row("tokens in pattern", R, "^ping%CRLF%$", "pong", 0, "ping\r\n", "pong\r\n");
        row("case-insensitive", R, "(?i)^PING$", "pong", 0, "ping", "pong\r\n");
        row("case-insensitive, anywhere", R, "(?i)ab", "x", 0, "xAB", "x\r\n");
        row("trailing comment", R, "(?x) ^ p i n g $ # say hi", "pong", 0, "ping", "pong\r\n");
        row("trailing quote", R, "^\\Qa.b", "q", 0, "a.b", "q\r\n");
        row("trailing quote, literal", R, "^\\Qa.b", "q", 0, "axb");
        row("hex response", R, "^(..)$", "%1 0D", HexResponse | NoLineEnd, "ab", "ab\r");
    }
    void regex() { checkAnswer(); }

    void hex_data() {
        columns();
        const auto H = MatchMode::Hex;
        row("anywhere", H, "70 69 6E 67", "[%0]", 0, "xxpingxx", "[ping]\r\n");
        row("NUL and FF", H, "00 FF", "got", 0,
            QByteArray("a\0\xff"
                       "b",
                       4),
            "got\r\n");
        row("other byte", H, "00 FF", "got", 0, QByteArray("a\0\xfe", 3));
        row("chunk boundary", H, "00 FF", "got", 0, QByteArray("a\0", 2));
        row("bytes back", H, "0x06", "15", HexResponse | NoLineEnd, "\x06", "\x15");
        row("match twice", H, "00FF", "%0 %0", HexResponse | NoLineEnd, QByteArray("\0\xff", 2),
            QByteArray("\0\xff\0\xff", 4));
    }
    void hex() { checkAnswer(); }

    void answers_inRuleOrderWithNotesAndDelays() {
        AutoResponder responder;
        responder.setRules({{MatchMode::Exact, "ping%CRLF%", "pong%TAB%"},
                            {MatchMode::Contains, "ping", "06 0D", true, true, 1500},
                            {MatchMode::Regex, "x", "y"},
                            {MatchMode::Exact, "ping%CRLF%", "again", false, false}});
        const QList<Answer> answers = responder.answersFor("ping\r\n", {}).answers;
        QCOMPARE(answers.size(), 3);
        const QList<std::tuple<int, QByteArray, QString, QString, int>> expected{
            {0, "pong\t\r\n", "ping%CRLF%", "pong\t", 0},
            {1, "\x06\r\r\n", "ping", "06 0D", 1500},
            {3, "again", "ping%CRLF%", "again", 0}};
        for (qsizetype i = 0; i < answers.size(); ++i) {
            const Answer &a = answers[i];
            QCOMPARE(std::tuple(a.rule, a.bytes, a.watchShown, a.replyShown, a.delayMs),
                     expected[i]);
        }
    }

    void runawayPattern_givesUpOnceAndOthersStillAnswer() {
        AutoResponder responder;
        responder.setRules(
            {{MatchMode::Regex, "^(a+)+$", "all a"}, {MatchMode::Exact, "ping", "pong"}});
        const QByteArray classic = QByteArray(30, 'a') + 'b';
        for (int pass = 0; pass < 2; ++pass) {
            const ChunkAnswers result = responder.answersFor(classic, {});
            QVERIFY(result.answers.isEmpty());
            QCOMPARE(result.warnings.size(), 1 - pass);
        }
        QCOMPARE(responder.answersFor("ping", {}).answers.size(), 1);
        QCOMPARE(responder.answersFor("aaa", {}).answers.size(), 1);

        // Every position of this chunk stays under the match limit; only the time bound ends it,
        // also where the pattern ends in a comment or a quote.
        QByteArray runs;
        while (runs.size() < 65536)
            runs += QByteArray(12, 'a') + 'b';
        for (const QString &pattern : {u"(a+)+$"_s, u"(?x) (a+)+$ # comment"_s, u"(a+)+$\\Q"_s}) {
            responder.setRule(0, {MatchMode::Regex, pattern, "x"});
            const ChunkAnswers result = responder.answersFor(runs, {});
            QVERIFY(result.answers.isEmpty());
            QCOMPARE(result.warnings.size(), 1);
            QVERIFY2(result.warnings[0].contains(u"more than"_s), qPrintable(result.warnings[0]));
        }
    }

    void checkRule_data() {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("watch");
        QTest::addColumn<QString>("response");
        QTest::addColumn<bool>("hex");
        QTest::addColumn<QString>("watchError");
        QTest::addColumn<QString>("responseError");
        const auto R = int(MatchMode::Regex), H = int(MatchMode::Hex);
        QTest::newRow("unclosed group")
            << R << "(abc"
            << "" << false << "Pattern error at offset 4: missing closing parenthesis"
            << "";
        QTest::newRow("offset in characters")
            << R << u"éé("_s << "" << false
            << "Pattern error at offset 3: missing closing parenthesis"
            << "";
        QTest::newRow("exact takes any text") << int(MatchMode::Exact) << "(abc"
                                              << "zz" << true << ""
                                              << "";
        QTest::newRow("hex watch") << H << "4G"
                                   << "" << false << "Not valid hex at character 2: G"
                                   << "";
        QTest::newRow("hex response") << int(MatchMode::Contains) << "x"
                                      << "zz" << true << ""
                                      << "Not valid hex at character 1: z";
        QTest::newRow("hex response, odd digit after a token")
            << H << "41"
            << "06 %1 4" << true << ""
            << "Not valid hex at character 7: 4 has no second digit";
        QTest::newRow("hex response, bad digit after a token") << H << "41"
                                                               << "41 %0 4G" << true << ""
                                                               << "Not valid hex at character 8: G";
    }
    void checkRule() {
        QFETCH(int, mode);
        QFETCH(QString, watch);
        QFETCH(QString, response);
        QFETCH(bool, hex);
        QFETCH(QString, watchError);
        QFETCH(QString, responseError);
        const RuleCheck check = ::checkRule({MatchMode(mode), watch, response, hex});
        QCOMPARE(check.watchError, watchError);
        QCOMPARE(check.responseError, responseError);
    }

    void modeNames() {
        for (const MatchMode mode : {MatchMode::Exact, MatchMode::Contains, MatchMode::Starts,
                                     MatchMode::Ends, MatchMode::Regex, MatchMode::Hex})
            QCOMPARE(matchModeFromName(matchModeName(mode)), mode);
        QCOMPARE(matchModeName(MatchMode::Exact), QString());
        QCOMPARE(matchModeFromName(u"Exact"), MatchMode::Exact);
        QCOMPARE(matchModeFromName(u"glob"), std::nullopt);
    }

    void ruleFromOption_data() {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("watch");
        QTest::addColumn<QString>("response");
        QTest::addColumn<QString>("error");
        const auto E = int(MatchMode::Exact), H = int(MatchMode::Hex);
        QTest::newRow("pair") << E << "ping=pong"
                              << "ping"
                              << "pong"
                              << "";
        QTest::newRow("first =") << E << "a=b=c"
                                 << "a"
                                 << "b=c"
                                 << "";
        QTest::newRow("empty watch") << E << "=x"
                                     << ""
                                     << ""
                                     << "--respond needs WATCH=RESPONSE, not '=x'";
        QTest::newRow("no =") << int(MatchMode::Contains) << "x"
                              << ""
                              << ""
                              << "--respond-contains needs WATCH=RESPONSE, not 'x'";
        QTest::newRow("bad pattern") << int(MatchMode::Regex) << "(x=y"
                                     << ""
                                     << ""
                                     << "--respond-regex: Pattern error at offset 2: missing "
                                        "closing parenthesis";
        const auto R = int(MatchMode::Regex);
        QTest::newRow("= in pattern") << R << "(?=a)a=b=x"
                                      << "(?=a)a"
                                      << "b=x"
                                      << "";
        QTest::newRow("= after a good pattern") << R << "a=(?=b)=x"
                                                << "a"
                                                << "(?=b)=x"
                                                << "";
        QTest::newRow("hex") << H << "41 42=06"
                             << "41 42"
                             << "06"
                             << "";
        QTest::newRow("hex, bad watch") << H << "4G=06"
                                        << ""
                                        << ""
                                        << "--respond-hex: Not valid hex at character 2: G";
        QTest::newRow("hex, bad response")
            << H << "41=0"
            << ""
            << ""
            << "--respond-hex: response: Not valid hex at character 1: 0 has no second digit";
    }
    void ruleFromOption() {
        QFETCH(int, mode);
        QFETCH(QString, value);
        QFETCH(QString, watch);
        QFETCH(QString, response);
        QFETCH(QString, error);
        const RuleFromText parsed = ::ruleFromOption(MatchMode(mode), value);
        QCOMPARE(parsed.error, error);
        if (error.isEmpty()) {
            const bool hex = MatchMode(mode) == MatchMode::Hex;
            QCOMPARE(parsed.rule, (ResponseRule{MatchMode(mode), watch, response, hex, !hex}));
        }
    }

    void rulesFromText_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("error");
        QTest::newRow("unknown mode")
            << QByteArray("exact\ta\tb\nglob\tx\ty")
            << "line 2: unknown "
               "mode 'glob' (exact, contains, starts, ends, regex or hex)";
        QTest::newRow("empty mode") << QByteArray("\tping\tpong")
                                    << "line 1: unknown mode '' "
                                       "(exact, contains, starts, ends, regex or hex)";
        QTest::newRow("two fields") << QByteArray("\r\nexact\tping")
                                    << "line 2: needs MODE<TAB>WATCH<TAB>RESPONSE[<TAB>DELAY], "
                                       "found 2 field(s)";
        QTest::newRow("five fields") << QByteArray("exact\ta\tb\t1\t2")
                                     << "line 1: needs MODE<TAB>WATCH<TAB>RESPONSE[<TAB>DELAY], "
                                        "found 5 field(s)";
        QTest::newRow("delay too long") << QByteArray("exact\ta\tb\t60001")
                                        << "line 1: delay must be 0 to 60000 ms, not '60001'";
        QTest::newRow("delay negative")
            << QByteArray("exact\ta\tb\t-1") << "line 1: delay must be 0 to 60000 ms, not '-1'";
        QTest::newRow("empty watch") << QByteArray("contains\t\tx") << "line 1: empty watch string";
        QTest::newRow("bad pattern")
            << QByteArray("# c\nregex\t(x\ty")
            << "line 2: Pattern error at offset 2: missing closing parenthesis";
        QTest::newRow("bad hex response")
            << QByteArray("hex\t41\tZZ") << "line 1: response: Not valid hex at character 1: Z";
        QTest::newRow("not UTF-8")
            << QByteArray("exact\ta\tb\nexact\tc\xff\td") << "line 2: not valid UTF-8";
        QTest::newRow("too many rules") << QByteArray("exact\ta\tb\n").repeated(MaxFileRules + 1)
                                        << "line 100001: more than 100000 rules";
    }
    void rulesFromText() {
        QFETCH(QByteArray, text);
        QFETCH(QString, error);
        const RulesFromText parsed = ::rulesFromText(text);
        QCOMPARE(parsed.error, error);
        QVERIFY(parsed.rules.isEmpty());
    }

    void rulesFromText_readsEveryForm() {
        const RulesFromText parsed =
            ::rulesFromText("\xEF\xBB\xBF# a device\nregex\t^ping (\\d+)$\tpong %1\r\n\n \t\n"
                            "HEX\t00 FF\t06\t250\nexact\t a=b \t%TIME%\t0");
        QCOMPARE(parsed.error, QString());
        const QList<ResponseRule> expected{{MatchMode::Regex, "^ping (\\d+)$", "pong %1"},
                                           {MatchMode::Hex, "00 FF", "06", true, false, 250},
                                           {MatchMode::Exact, " a=b ", "%TIME%"}};
        QCOMPARE(parsed.rules, expected);
    }
};

QTEST_GUILESS_MAIN(tst_AutoRespond)
#include "tst_auto_respond.moc"
