// Runs the real `scanner-module scan --simulate` as a user would and reads its TIFF back with
// libtiff, comparing the pixels with the simulated scanner's chart.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

// After <cstdio>: they use FILE.
#include <jpeglib.h>
#include <png.h>

#include "sim/TestChart.h"
#include "tests/support/Program.h"

namespace {

using tarvell::sim::ChartRequest;
using tarvell::sim::ExpectedSample;

struct Outcome {
  int status = -1;
  std::string out, err;
};

std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

class ScanEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = root_ / "work";
    ASSERT_EQ(mkdir(dir_.c_str(), 0755), 0);
  }

  // Runs the program in the scan directory.
  Outcome Scan(std::vector<std::string> args) {
    args.insert(args.begin(), {TARVELL_SCANNER_MODULE, "scan", "--simulate"});
    tarvell::testing::ProgramOptions options;
    options.dir = dir_;
    const tarvell::testing::ProgramRun program = tarvell::testing::RunProgram(args, options);
    Outcome run;
    run.status = program.signal ? 128 + program.signal : program.status;
    run.out = program.out;
    run.err = program.err;
    // A sanitizer build reports its findings on standard error.
    EXPECT_EQ(run.err.find("Sanitizer"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("runtime error"), std::string::npos) << run.err;
    return run;
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  // What the TIFF says about itself, and its rows.
  struct Image {
    uint32_t width = 0, height = 0;
    uint16_t spp = 0, bps = 0, photometric = 0;
    float xdpi = 0, ydpi = 0;
    std::vector<std::vector<uint8_t>> rows;
  };
  static Image Read(const std::string& path) {
    Image image;
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    EXPECT_NE(tif, nullptr) << path;
    if (!tif) return image;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &image.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &image.height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &image.spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &image.bps);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &image.photometric);
    TIFFGetField(tif, TIFFTAG_XRESOLUTION, &image.xdpi);
    TIFFGetField(tif, TIFFTAG_YRESOLUTION, &image.ydpi);
    image.rows.resize(image.height);
    for (uint32_t row = 0; row < image.height; ++row) {
      image.rows[row].resize(size_t(TIFFScanlineSize(tif)));
      EXPECT_EQ(TIFFReadScanline(tif, image.rows[row].data(), row), 1);
    }
    TIFFClose(tif);
    return image;
  }

  // The sample at (col, row) in ExpectedSample's form: 0xRRGGBB, grey level, or 1 for black.
  static uint32_t Sample(const Image& image, uint32_t col, uint32_t row) {
    const std::vector<uint8_t>& r = image.rows[row];
    if (image.spp == 3) return (uint32_t(r[col * 3]) << 16) | (uint32_t(r[col * 3 + 1]) << 8) | r[col * 3 + 2];
    if (image.bps == 8) return r[col];
    const uint32_t bit = (r[col / 8] >> (7 - col % 8)) & 1;
    // With min-is-white a set bit is black; anything else would invert the page.
    return image.photometric == PHOTOMETRIC_MINISWHITE ? bit : 1 - bit;
  }

  // Compares a grid of pixels (every `rowStep`-th row, every `colStep`-th column, from a row and
  // column that move along so the grid does not sit on one phase) with the chart; returns the
  // mismatches. Steps are prime so the grid crosses every feature of the chart.
  static int Mismatches(const Image& image, const ChartRequest& request, uint32_t rowStep = 1, uint32_t colStep = 1) {
    int wrong = 0;
    for (uint32_t row = 0; row < image.height; row += rowStep)
      for (uint32_t col = row % colStep; col < image.width; col += colStep)
        if (Sample(image, col, row) != ExpectedSample(request, col, row) && ++wrong <= 5)
          ADD_FAILURE() << "pixel (" << col << ", " << row << ") is " << std::hex << Sample(image, col, row)
                        << ", the chart has " << ExpectedSample(request, col, row);
    return wrong;
  }

  static ChartRequest Request(int contentType, int resolution, int64_t left, int64_t top, int64_t right,
                              int64_t bottom) {
    ChartRequest r;
    r.contentType = contentType;
    r.resolution = resolution;
    r.window = {left, top, right, bottom};
    return r;
  }

  tarvell::testing::TempDir root_{"scan-e2e"};
  std::string dir_;
};

TEST_F(ScanEndToEndTest, DefaultScanIsColourLetterAt300DpiUnderTheDriversName) {
  const Outcome run = Scan({"--progress"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> files = Listing(dir_);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(std::regex_match(files[0], std::regex(R"(scan\d{8}_\d{6}\.tiff)"))) << files[0];
  struct stat st;
  ASSERT_EQ(stat(Path(files[0]).c_str(), &st), 0);
  EXPECT_EQ(run.out, "Wrote " + files[0] + ": 2550 x 3300 pixels, 300 dpi, colour TIFF\n");
  // Progress counts the image's bytes and ends with all of them.
  EXPECT_NE(run.err.find("scanning: 25245000 of 25245000 bytes (100%)"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("bytes received"), std::string::npos);

  const Image image = Read(Path(files[0]));
  EXPECT_EQ(image.width, 2550u);
  EXPECT_EQ(image.height, 3300u);
  EXPECT_EQ(image.spp, 3);
  EXPECT_EQ(image.bps, 8);
  EXPECT_EQ(image.photometric, PHOTOMETRIC_RGB);
  EXPECT_TRUE(image.xdpi == 300 && image.ydpi == 300) << image.xdpi << " x " << image.ydpi;  // a letter page
  const ChartRequest chart = Request(tarvell::sim::kContentColour, 300, 0, 0, 2550, 3300);
  EXPECT_EQ(Mismatches(image, chart, 7, 5), 0);
  // Landmarks a person would look at: the black frame, the first (red) patch.
  EXPECT_EQ(Sample(image, 1, 1), 0x000000u);
  const uint32_t patchCol = uint32_t((tarvell::sim::chart::kPatchLeft + 100) / 2);
  const uint32_t patchRow = uint32_t((tarvell::sim::chart::kPatchTop + 100) / 2);
  const tarvell::sim::Rgb red = tarvell::sim::chart::PatchColour(0);
  EXPECT_EQ(Sample(image, patchCol, patchRow), (uint32_t(red.r) << 16) | (uint32_t(red.g) << 8) | red.b);
}

TEST_F(ScanEndToEndTest, GreyAndLineArtKeepTheChartAndItsPolarity) {
  Outcome run = Scan({"--mode", "Gray", "--resolution", "150", "-o", "grey.tiff"});
  ASSERT_EQ(run.status, 0) << run.err;
  Image grey = Read(Path("grey.tiff"));
  EXPECT_EQ(grey.width, 1275u);
  EXPECT_EQ(grey.height, 1650u);
  EXPECT_EQ(grey.spp, 1);
  EXPECT_EQ(grey.bps, 8);
  EXPECT_EQ(grey.photometric, PHOTOMETRIC_MINISBLACK);
  EXPECT_EQ(Mismatches(grey, Request(tarvell::sim::kContentGrey, 150, 0, 0, 1275, 1650), 5, 3), 0);

  // 100 x 80 mm at 300 dpi: 1181 pixels wide, cut down to whole bytes (1176) for one bit.
  run = Scan({"--mode", "Lineart", "-x", "100", "-y", "80", "-o", "lineart.tiff"});
  ASSERT_EQ(run.status, 0) << run.err;
  Image lineart = Read(Path("lineart.tiff"));
  EXPECT_EQ(lineart.width, 1176u);
  EXPECT_EQ(lineart.height, 945u);
  EXPECT_EQ(lineart.spp, 1);
  EXPECT_EQ(lineart.bps, 1);
  EXPECT_EQ(lineart.photometric, PHOTOMETRIC_MINISWHITE);
  EXPECT_EQ(Mismatches(lineart, Request(tarvell::sim::kContentLineArt, 300, 0, 0, 1176, 945), 3, 3), 0);
  // The frame is black: its bits are set.
  EXPECT_EQ((lineart.rows[1][0] >> 6) & 1, 1);

  // The older systems' flat dictionary gives the same grey page.
  run = Scan({"--system-version", "0x1028", "--mode", "Gray", "--resolution", "150", "-o", "flat.tiff"});
  ASSERT_EQ(run.status, 0) << run.err;
  Image flat = Read(Path("flat.tiff"));
  EXPECT_EQ(flat.width, 1275u);
  EXPECT_EQ(flat.height, 1650u);
  EXPECT_EQ(flat.rows, grey.rows);
  EXPECT_TRUE(grey.xdpi == 150 && flat.xdpi == 150 && lineart.xdpi == 300) << grey.xdpi << flat.xdpi << lineart.xdpi;
}

TEST_F(ScanEndToEndTest, OffsetWindowAndSixHundredDpiColour) {
  // One inch in, two down, one inch by half an inch: pixels (300, 600) to (600, 750).
  Outcome run = Scan({"-l", "25.4", "-t", "50.8", "-x", "25.4", "-y", "12.7", "-o", "window.tiff"});
  ASSERT_EQ(run.status, 0) << run.err;
  Image window = Read(Path("window.tiff"));
  EXPECT_EQ(window.width, 300u);
  EXPECT_EQ(window.height, 150u);
  EXPECT_EQ(Mismatches(window, Request(tarvell::sim::kContentColour, 300, 300, 600, 600, 750)), 0);

  // Colour above 300 dpi is sent as 300 dpi: the device returns half the pixels each way and
  // the file says so.
  run = Scan({"--resolution", "600", "-x", "50.8", "-y", "25.4", "-o", "600.tiff"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Wrote 600.tiff: 600 x 300 pixels, 300 dpi, colour TIFF\n");
  Image high = Read(Path("600.tiff"));
  EXPECT_EQ(high.width, 600u);
  EXPECT_EQ(high.height, 300u);
  EXPECT_TRUE(high.xdpi == 300 && high.ydpi == 300) << high.xdpi;  // what it was scanned at
  EXPECT_EQ(Mismatches(high, Request(tarvell::sim::kContentColour, 300, 0, 0, 600, 300), 2, 2), 0);
}

TEST_F(ScanEndToEndTest, MisbehavingScannerEndsWithAReasonAndNoFile) {
  const struct {
    const char* fault;
    const char* message;
  } cases[] = {
      {"timeouts-before-data=10", "the scanner sent no image"},
      {"exception-for=create", "the scanner sent no image"},
      {"exception-for=no-such,start", "the scanner sent no image"},
      {"gone-after-bytes=100000", "the scanner went away during the scan"},
      {"short-image-by=64", "the image the scanner sent is damaged or incomplete"},
      {"corrupt-header", "the image the scanner sent is damaged or incomplete"},
  };
  // A file already at the target stays as it was.
  { std::ofstream(Path("kept.tiff")) << "earlier"; }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    const Outcome run = Scan({"-x", "60", "-y", "40", "--sim-fault", c.fault, "-o", "kept.tiff"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(std::string("scanner-module: ") + c.message), std::string::npos) << run.err;
    EXPECT_EQ(Listing(dir_), std::vector<std::string>{"kept.tiff"});
    EXPECT_EQ(tarvell::testing::ReadFile(Path("kept.tiff")), "earlier");
  }
  // A few time-outs before the data and stray packets are ridden out.
  for (const char* fault : {"timeouts-before-data=3", "unknown-packets"}) {
    const Outcome run = Scan({"-x", "60", "-y", "40", "--sim-fault", fault, "-o", "ok.tiff"});
    EXPECT_EQ(run.status, 0) << fault << run.err;
    const Image image = Read(Path("ok.tiff"));
    EXPECT_EQ(Mismatches(image, Request(tarvell::sim::kContentColour, 300, 0, 0, 709, 472), 3, 3), 0) << fault;
    unlink(Path("ok.tiff").c_str());
  }
}

TEST_F(ScanEndToEndTest, BadRequestsAreRefusedBeforeScanning) {
  const struct {
    std::vector<std::string> args;
    int status;
    const char* message;
  } cases[] = {
      {{"--mode", "Sepia"}, 2, "bad --mode 'Sepia'"},
      {{"--resolution", "50"}, 2, "bad --resolution '50'"},
      {{"-x", "-3"}, 2, "bad -x '-3'"},
      {{"-l", "100", "-x", "150"}, 2, "the scan area leaves the glass"},
      {{"--scale", "5"}, 2, "bad --scale '5'"},
      {{"--sim-fault", "melt"}, 2, "bad --sim-fault item 'melt': the items are timeouts-before-data=N, "},
      {{"extra"}, 2, "scan takes no operands"},
      {{"-o", "no/such/dir/x.tiff"}, 1, "cannot write 'no/such/dir/x.tiff': the folder 'no/such/dir' does not exist"},
      {{"-o", "."}, 1, "'.' is a folder: give a file name, e.g. -o ./scan.tiff"},
      {{"-o", "page.gif"}, 2, "cannot tell the format of 'page.gif' from its name: end it in .tif, .tiff, .png, "},
      {{"--format", "gif"}, 2, "bad --format 'gif': give tiff, png, jpeg, pdf or pnm"},
  };
  for (const auto& c : cases) {
    const Outcome run = Scan(c.args);
    EXPECT_EQ(run.status, c.status) << c.message;
    EXPECT_EQ(run.err.rfind(std::string("scanner-module: ") + c.message, 0), 0u) << run.err;
    EXPECT_LE(std::count(run.err.begin(), run.err.end(), '\n'), c.status == 2 ? 2 : 1) << run.err;
    EXPECT_TRUE(Listing(dir_).empty()) << c.message;
  }
}

// Width, height, dots per inch and channels as libpng reads them; zeros when it cannot.
void ReadPng(FILE* file, uint32_t facts[4]) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (!setjmp(png_jmpbuf(png))) {
    png_init_io(png, file);
    png_read_info(png, info);
    facts[0] = png_get_image_width(png, info), facts[1] = png_get_image_height(png, info);
    facts[2] = png_get_x_pixels_per_inch(png, info), facts[3] = png_get_channels(png, info);
  }
  png_destroy_read_struct(&png, &info, nullptr);
}

// The file as the library of its format (PNG, JPEG) reads it: "WIDTH x HEIGHT, DPI dpi, CHANNELS".
std::string Describe(const std::string& path, const std::string& format) {
  FILE* file = std::fopen(path.c_str(), "rb");
  uint32_t facts[4] = {};
  if (file && format == "PNG") {
    ReadPng(file, facts);
  } else if (file) {
    jpeg_decompress_struct jpeg{};
    jpeg_error_mgr errors{};
    jpeg.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&jpeg);
    jpeg_stdio_src(&jpeg, file);
    jpeg_read_header(&jpeg, TRUE);
    facts[0] = jpeg.image_width, facts[1] = jpeg.image_height, facts[2] = jpeg.X_density;
    facts[3] = uint32_t(jpeg.num_components);
    jpeg_destroy_decompress(&jpeg);
  }
  if (file) std::fclose(file);
  return std::to_string(facts[0]) + " x " + std::to_string(facts[1]) + ", " + std::to_string(facts[2]) + " dpi, " +
         std::to_string(facts[3]);
}

TEST_F(ScanEndToEndTest, TheFileNameOrFormatChoosesTheEncodingAndEachDecodes) {
  // 50.8 x 25.4 mm (2 x 1 inch): 600 x 300 pixels at 300 dpi, 300 x 150 at 150 dpi.
  const struct {
    std::vector<std::string> args;
    const char *wrote, *decoded;
  } cases[] = {
      {{"-o", "a.png"}, "a.png: 600 x 300 pixels, 300 dpi, colour PNG", "600 x 300, 300 dpi, 3"},
      {{"--mode", "Gray", "--resolution", "150", "-o", "b.JPEG"},
       "b.JPEG: 300 x 150 pixels, 150 dpi, grey JPEG",
       "300 x 150, 150 dpi, 1"},
      {{"--mode", "Lineart", "-o", "c.jpg"},
       "c.jpg: 600 x 300 pixels, 300 dpi, black-and-white JPEG",
       "600 x 300, 300 dpi, 1"},
      {{"--format", "png", "-o", "d.tiff"}, "d.tiff: 600 x 300 pixels, 300 dpi, colour PNG", "600 x 300, 300 dpi, 3"},
      {{"--mode", "Lineart", "-o", "e.pnm"}, "e.pnm: 600 x 300 pixels, 300 dpi, black-and-white PNM", nullptr},
      {{"--resolution", "150", "-o", "f.pdf"}, "f.pdf: 300 x 150 pixels, 150 dpi, colour PDF", nullptr},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"-x", "50.8", "-y", "25.4"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome run = Scan(args);
    EXPECT_EQ(run.out, std::string("Wrote ") + c.wrote + "\n") << run.err;
    const std::string name = c.args.back(), format = std::string(c.wrote).substr(std::string(c.wrote).rfind(' ') + 1);
    EXPECT_EQ(c.decoded ? Describe(Path(name), format) : "", c.decoded ? c.decoded : "") << name;
  }
  // A PDF of one page at the area's size.
  const std::string pdf = tarvell::testing::RunProgram({"pdfinfo", Path("f.pdf")}).out;
  EXPECT_NE(pdf.find("Pages:           1\n"), std::string::npos) << pdf;
  EXPECT_NE(pdf.find("Page size:       144 x 72 pts"), std::string::npos) << pdf;
  // The pixels survive the trip through the driver's TIFF: the PNM holds the chart as it is.
  const std::string pnm = tarvell::testing::ReadFile(Path("e.pnm"));
  ASSERT_EQ(pnm.rfind("P4\n# 300 dpi\n600 300\n", 0), 0u);
  Image image{600, 300, 1, 1, PHOTOMETRIC_MINISWHITE, 300, 300, {}};
  for (size_t row = 0; row < 300; ++row)
    image.rows.emplace_back(pnm.end() - long(75 * (300 - row)), pnm.end() - long(75 * (299 - row)));
  EXPECT_EQ(Mismatches(image, Request(tarvell::sim::kContentLineArt, 300, 0, 0, 600, 300)), 0);
}

}  // namespace
