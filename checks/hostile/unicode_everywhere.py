"""Names, values and files in many scripts, combining marks, right-to-left text and emoji."""


def 计算(数量, 价格=1.5):
    结果 = 数量 * 价格
    return 结果


class Ünïcödé:
    def méthode(self, ñ):
        return f"{ñ} ✓"


def emoji_values():
    data = {"🔑": "🎉", "עברית": "العربية", "e\u0301": "\u200b"}
    return data


print(计算(2), Ünïcödé().méthode("ok"), len(emoji_values()))
