#include "text/GbkCodec.h"

#include <gtest/gtest.h>

using namespace telvoro;

TEST(GbkCodec, RoundTripsAndRefusesWhatGbkCannotHold) {
    // 短信发送, full-width digits and space, ASCII, CR LF.
    const std::string gbk = "\xB6\xCC\xD0\xC5\xB7\xA2\xCB\xCD \xA3\xB1\xA3\xB2\xA1\xA1 ok\r\n";
    const QString text = FromGbk(gbk);
    EXPECT_EQ(text, QString::fromUtf8("短信发送 １２　 ok\r\n"));
    EXPECT_EQ(ToGbk(text), gbk);
    EXPECT_EQ(Utf8ToGbk("短信发送"), "\xB6\xCC\xD0\xC5\xB7\xA2\xCB\xCD");
    EXPECT_EQ(GbkToUtf8("\xB6\xCC\xD0\xC5"), "短信");
    EXPECT_EQ(ToGbk(QString()), "");

    for (const char* utf8 : {"한국", "emoji 😀", "x\xE2\x80\xA8y"}) {
        const QString s = QString::fromUtf8(utf8);
        EXPECT_FALSE(HasGbkForm(s)) << utf8;
        try {
            (void)ToGbk(s);
            ADD_FAILURE() << utf8 << " was encoded";
        } catch (const EncodingError& e) {
            EXPECT_NE(std::string(e.what()).find("U+"), std::string::npos) << e.what();
        }
    }
    EXPECT_TRUE(HasGbkForm(QString::fromUtf8("生日快乐，")));
    // U+FEFF in a text is a character like any other (QString::fromUcs4 would drop it).
    try {
        (void)ToGbk(QString(QChar(0xFEFF)) + "x");
        ADD_FAILURE() << "U+FEFF was encoded";
    } catch (const EncodingError& e) {
        EXPECT_NE(std::string(e.what()).find("(U+FEFF)"), std::string::npos) << e.what();
    }

    // A lone lead byte and a byte GBK never uses: an error, or a visible replacement.
    for (const std::string& bad : {std::string("ab\xB6"), std::string("a\xB6\nb")}) {
        EXPECT_THROW(FromGbk(bad), EncodingError);
        EXPECT_TRUE(FromGbk(bad, true).contains(QChar(0xFFFD)));
    }
}
