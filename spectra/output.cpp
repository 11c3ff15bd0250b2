/*
 * Writing the outputs of zorv_spectra, all or nothing.
 *
 * Every file is first written into a fresh hidden folder inside the output
 * folder (same file system, so the final renames cannot copy), and renamed
 * into place only after every file is complete. A run that fails on the way
 * removes its temporary folder and leaves the output folder as it was: no
 * half-written table or picture can be taken for a result.
 */
#include "spectra/png.h"
#include "spectra/spectra.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// A map as table, PPM and PNG in `dir`. The histogram library names its PPM
// "<prefix><set>.ppm" (set counted from 1); the map has one set, and the file
// is renamed to "<name>.ppm" when it moves into place.
int write_map(histogram2D& map, std::string const& dir, std::string const& name,
              std::vector<std::string>* files)
{
    std::string path = dir + "/" + name;
    if (map.writeText((path + ".txt").c_str()) != 0)
        return 1;
    files->push_back(name + ".txt");
    // writeImage reports its colour scale on standard output; say for which map.
    std::printf("%s.ppm: ", name.c_str());
    if (map.writeImage(path.c_str(), true) != 0)
        return 1;
    if (std::rename((path + "1.ppm").c_str(), (path + ".ppm").c_str()) != 0) {
        std::printf("Error: Cannot rename '%s1.ppm': %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    files->push_back(name + ".ppm");
    rgb_image image;
    if (read_ppm(path + ".ppm", &image) != 0 || write_png(path + ".png", image) != 0)
        return 1;
    files->push_back(name + ".png");
    return 0;
}

int write_all(spectra_set& s, std::string const& summary, std::string const& dir,
              std::vector<std::string>* files)
{
    for (int q = 0; q < quantity_count; ++q) {
        std::string name = std::string(quantity_key(q)) + ".txt";
        if (s.spectrum[q]->write((dir + "/" + name).c_str()) != 0)
            return 1;
        files->push_back(name);
    }
    if (write_map(*s.amplitude_map, dir, "amplitude_map", files) != 0 ||
        write_map(*s.position_map, dir, "position_map", files) != 0)
        return 1;

    std::string path = dir + "/summary.txt";
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        std::printf("Error: Cannot open file '%s' for writing\n", path.c_str());
        return 1;
    }
    bool failed = std::fwrite(summary.data(), 1, summary.size(), f) != summary.size();
    if (std::fclose(f) != 0)
        failed = true;
    if (failed) {
        std::printf("Error: Cannot write file '%s'\n", path.c_str());
        return 1;
    }
    files->push_back("summary.txt");
    return 0;
}

} // namespace

int write_outputs(spectra_set& s, std::string const& summary, std::string const& output_dir)
{
    std::error_code ec;
    fs::create_directories(output_dir, ec);
    if (ec || !fs::is_directory(output_dir, ec)) {
        std::printf("Error: Cannot create output folder '%s'%s%s\n", output_dir.c_str(),
                    ec ? ": " : " (a file of that name is in the way)", ec ? ec.message().c_str() : "");
        return 1;
    }
    std::string templ = output_dir + "/.zorv_spectra-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
        std::printf("Error: Cannot create a temporary folder in '%s': %s\n", output_dir.c_str(),
                    std::strerror(errno));
        return 1;
    }
    std::string stage = templ;

    std::vector<std::string> files;
    int status = write_all(s, summary, stage, &files);
    // rename() cannot put a file in place of a folder: find that out before
    // the first file moves, so that a refused run changes nothing.
    for (std::size_t i = 0; status == 0 && i < files.size(); ++i) {
        std::string to = output_dir + "/" + files[i];
        if (fs::is_directory(to, ec)) {
            std::printf("Error: '%s' is a folder; cannot write the output there\n", to.c_str());
            status = 1;
        }
    }
    for (std::size_t i = 0; status == 0 && i < files.size(); ++i) {
        std::string from = stage + "/" + files[i];
        std::string to = output_dir + "/" + files[i];
        if (std::rename(from.c_str(), to.c_str()) != 0) {
            std::printf("Error: Cannot move '%s' to '%s': %s\n", from.c_str(), to.c_str(), std::strerror(errno));
            status = 1;
        }
    }
    fs::remove_all(stage, ec);
    return status;
}

int run_spectra(spectra_options const& opt)
{
    result_pair data;
    if (read_result_pair(opt.base, &data) != 0)
        return 1;
    spectra_set s;
    if (opt.max_rms_given) {
        s.left_out = leave_out_rough_fits(&data, opt.max_rms);
        if (data.events() == 0) {
            std::printf(
                "Error: All %zu events have an RMS residual above %g ADC counts in either "
                "channel; --max-rms leaves nothing to show\n",
                s.left_out, opt.max_rms);
            return 1;
        }
    }
    std::string summary;
    if (fill_spectra(data, opt, &s) != 0 || summary_text(data, s, opt, &summary) != 0)
        return 1;
    if (write_outputs(s, summary, opt.output_dir) != 0)
        return 1;
    std::printf("\n%s\nWritten to %s/: amplitude.txt position.txt width.txt ssr.txt dt.txt\n"
                "  amplitude_map.{txt,ppm,png} position_map.{txt,ppm,png} summary.txt\n",
                summary.c_str(), opt.output_dir.c_str());
    return 0;
}
