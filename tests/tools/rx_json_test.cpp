// vexo-rx --json lines: nlohmann's objects, floats in the shortest text that reads back exactly.
#include <float.h>
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "rx_json.h"

namespace {

int significant_digits(const std::string& text)
{
	int n = 0;
	bool leading = true;
	for (char c : text) {
		if (c == 'e')
			break;
		if (c < '0' || c > '9' || (leading && c == '0'))
			continue;
		leading = false;
		n++;
	}
	return n;
}

TEST(RxJson, FloatsAreTheShortestTextThatReadsBackExactly)
{
	std::vector<float> values = {0.0f, -0.0f, 1.0f, -1.0f, 0.5f, 16.0f / 9.0f, 1e-5f, 1.5e-7f, 1e5f,
	                             3.662129e7f, 0.25976562f, FLT_MIN, FLT_MAX, FLT_TRUE_MIN};
	std::mt19937 rng(7);
	std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
	for (int i = 0; i < 20000; i++)
		values.push_back(sample(rng));
	for (int i = 0; i < 20000; i++) {
		const uint32_t bits = rng();
		float f;
		memcpy(&f, &bits, sizeof(f));
		if (isfinite(f))
			values.push_back(f);
	}
	for (float v : values) {
		const std::string text = rx::line_text(rx::Json(v));
		ASSERT_EQ(strtof(text.c_str(), nullptr), v) << text;
		// The nearest decimal with one significant digit fewer is another float.
		const int n = significant_digits(text);
		if (n > 1) {
			char shorter[64];
			snprintf(shorter, sizeof(shorter), "%.*e", n - 2, static_cast<double>(v));
			ASSERT_NE(strtof(shorter, nullptr), v) << text << " could be " << shorter;
		}
	}
	// The text vexo-rx has always printed for aspects, whole numbers, small and large values.
	EXPECT_EQ(rx::line_text(rx::Json(16.0f / 9.0f)), "1.7777778");
	EXPECT_EQ(rx::line_text(rx::Json(-1.0f)), "-1");
	EXPECT_EQ(rx::line_text(rx::Json(0.0001f)), "0.0001");
	EXPECT_EQ(rx::line_text(rx::Json(1e5f)), "1e+05");
	EXPECT_EQ(rx::line_text(rx::Json(NAN)), "null");
	EXPECT_EQ(rx::line_text(rx::Json(-INFINITY)), "null");
}

TEST(RxJson, LinesKeepTheirMemberOrderAndEscapeAnyText)
{
	const rx::Json line = {{"event", "audio"},
	                       {"samples", 1600},
	                       {"first", std::vector<float>{0.1f, -1.0f}},
	                       {"name", std::string("a\"b\n\x01\xff")},
	                       {"groups", nullptr}};
	const std::string text = rx::line_text(line);
	EXPECT_EQ(text, "{\"event\":\"audio\",\"samples\":1600,\"first\":[0.1,-1],"
	                "\"name\":\"a\\\"b\\n\\u0001\xEF\xBF\xBD\",\"groups\":null}");
	const nlohmann::json back = nlohmann::json::parse(text);
	EXPECT_EQ(back.at("first").at(0).get<float>(), 0.1f);
	EXPECT_EQ(rx::quote("say \"hi\""), "\"say \\\"hi\\\"\"");
}

}  // namespace
