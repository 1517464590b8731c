// Bounded random driver for a fuzz target where libFuzzer is not available: mutates the
// seed inputs at random for a given number of seconds.
#include <chrono>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <random>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
	// TARGET SECONDS SEED_DIR
	double seconds = argc > 1 ? atof(argv[1]) : 60.0;
	std::vector<std::vector<uint8_t>> seeds;
	if (argc > 2) {
		if (DIR* dir = opendir(argv[2])) {
			while (dirent* e = readdir(dir)) {
				if (e->d_name[0] == '.')
					continue;
				std::ifstream f(std::string(argv[2]) + "/" + e->d_name, std::ios::binary);
				seeds.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
			}
			closedir(dir);
		}
	}
	if (seeds.empty())
		seeds.push_back({0});

	// The handlers print a line per control command; only the summary matters here.
	FILE* summary = fdopen(dup(fileno(stdout)), "w");
	if (freopen("/dev/null", "w", stdout) == nullptr)
		return 2;

	std::mt19937 rng(12345);
	auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
	unsigned long runs = 0;
	while (std::chrono::steady_clock::now() < end) {
		std::vector<uint8_t> in = seeds[rng() % seeds.size()];
		int edits = 1 + static_cast<int>(rng() % 8);
		for (int i = 0; i < edits; ++i) {
			size_t pos = in.empty() ? 0 : rng() % in.size();
			switch (rng() % 5) {
			case 0: if (!in.empty()) in[pos] = static_cast<uint8_t>(rng()); break;
			case 1: in.insert(in.begin() + static_cast<long>(pos), static_cast<uint8_t>(rng())); break;
			case 2: if (!in.empty()) in.erase(in.begin() + static_cast<long>(pos)); break;
			case 3: in.resize(rng() % (in.size() + 2)); break;
			default: {
				const std::vector<uint8_t>& other = seeds[rng() % seeds.size()];
				in.insert(in.begin() + static_cast<long>(pos), other.begin(), other.end());
			}
			}
		}
		LLVMFuzzerTestOneInput(in.data(), in.size());
		++runs;
	}
	fprintf(summary ? summary : stderr, "%s: %lu inputs in %.0f s\n", argv[0], runs, seconds);
	return 0;
}
