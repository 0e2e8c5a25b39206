#pragma once
// The default templates file written out for tests: its menu and birthday
// text in GBK, and its nine lines as a Linux editor saves them in UTF-8.

#include "files/Templates.h"

#include <string>
#include <vector>

namespace telvoro::testing {

// 生日快乐
inline const std::string kBirthday = "\xC9\xFA\xC8\xD5\xBF\xEC\xC0\xD6";
// 尊敬的客户，感谢您多年来对朗岳软件的支持，我们全体员工祝您生日快乐。
inline const std::string kBirthdayText =
    "\xD7\xF0\xBE\xB4\xB5\xC4\xBF\xCD\xBB\xA7\xA3\xAC\xB8\xD0\xD0\xBB\xC4\xFA\xB6\xE0\xC4\xEA\xC0"
    "\xB4\xB6\xD4\xC0\xCA\xD4\xC0\xC8\xED\xBC\xFE\xB5\xC4\xD6\xA7\xB3\xD6\xA3\xAC\xCE\xD2\xC3\xC7"
    "\xC8\xAB\xCC\xE5\xD4\xB1\xB9\xA4\xD7\xA3\xC4\xFA\xC9\xFA\xC8\xD5\xBF\xEC\xC0\xD6\xA1\xA3";
// 欠款提示
inline const std::string kArrears = "\xC7\xB7\xBF\xEE\xCC\xE1\xCA\xBE";

inline const std::vector<TemplateMenuEntry> kDefaultMenu = {
    {"Menu_2", kBirthday},
    {"Menu_3", kArrears},
    {"Menu_4", "\xCE\xE5\xD2\xBB\xBF\xEC\xC0\xD6"}, // 五一快乐
    {"Menu_5", "\xB9\xFA\xC7\xEC\xBF\xEC\xC0\xD6"}, // 国庆快乐
    {"Menu_6", "\xD4\xAA\xB5\xA9\xBF\xEC\xC0\xD6"}, // 元旦快乐
    {"Menu_7", "\xCA\xA5\xB5\xAE\xBD\xDA"},         // 圣诞节
    {"Menu_8", "\xB4\xBA\xBD\xDA\xBF\xEC\xC0\xD6"}, // 春节快乐
};

// The nine default lines in UTF-8, each ended by `lineEnd`.
inline std::string DefaultLinesUtf8(const char* lineEnd) {
    const char8_t* lines[] = {
        u8"[注意每条短信只能写一行，不能使用自动换行，标题和内容用等号分开]",
        u8"[每次修改模板后发送短信的窗口重新启动后生效。]",
        u8"生日快乐=尊敬的客户，感谢您多年来对朗岳软件的支持，我们全体员工祝您生日快乐。",
        u8"欠款提示=",
        u8"五一快乐=",
        u8"国庆快乐=",
        u8"元旦快乐=",
        u8"圣诞节=",
        u8"春节快乐=",
    };
    std::string text;
    for (const char8_t* line : lines)
        text += reinterpret_cast<const char*>(line) + std::string(lineEnd);
    return text;
}

} // namespace telvoro::testing
