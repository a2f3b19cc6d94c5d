// Feeds arbitrary bytes to the PDF and FDF readers. Inputs that start with
// "%FDF" go through an FDF bundle (import in every mode, count, drawing,
// import into a document); everything else is opened as a PDF document and
// read, changed and written. Nothing may crash, hang or leak. Built with
// libFuzzer (XAD_FUZZ) or as a corpus replayer.

#include "hpgspdf.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// A device that accepts everything and keeps nothing.
hpgs_device_vtable nullTable() {
    hpgs_device_vtable v{};
    v.rtti = "fuzz_null_device";
    v.capabilities = [](hpgs_device*) { return HPGS_DEVICE_CAP_CURVES; };
    return v;
}

void fuzzPdf(const uint8_t* data, size_t size) {
    hpgs_pdf_file* pdf = hpgs_new_pdf_file(hpgs_new_mem_istream(data, size, HPGS_FALSE));
    if (!pdf) return;
    if (!hpgs_pdf_file_is_encrypted(pdf)) {
        int n = hpgs_pdf_file_get_npages(pdf);
        for (int i = 0; i < n && i < 4; ++i) {
            hpgs_bbox bb;
            double uu;
            int angle;
            hpgs_pdf_file_get_page_crop_box(pdf, i, &bb);
            hpgs_pdf_file_get_page_user_unit(pdf, i, &uu);
            hpgs_pdf_file_get_native_page_angle(pdf, i, &angle);
            hpgs_pdf_file_rotate_page(pdf, i, 90);
            hpgs_device* dev = hpgs_pdf_file_new_anno_device(pdf, i);
            if (dev) {
                hpgs_point a{1, 1}, b{50, 50};
                hpgs_moveto(dev, &a);
                hpgs_lineto(dev, &b);
                hpgs_stroke(dev);
                hpgs_device_finish(dev);
                hpgs_device_destroy(dev);
            }
        }
        hpgs_pdf_file_set_info(pdf, 0, "fuzz", "UTF-8");
        hpgs_pdf_file_set_info(pdf, 12, "x();", "UTF-8");
        hpgs_ostream* os = hpgs_new_mem_ostream(4096);
        hpgs_pdf_file_write(pdf, os);
        hpgs_ostream_close(os);
    }
    hpgs_destroy_pdf_file(pdf);
}

void fuzzFdf(const uint8_t* data, size_t size) {
    static const hpgs_device_vtable table = nullTable();
    hpgs_device dev{&table};
    hpgs_pdf_fdf_bundle* bundle = hpgs_pdf_new_fdf_bundle();
    double red[3] = {1, 0, 0};
    for (int mode : {0, 2, 3})
        hpgs_pdf_fdf_bundle_import_fdf(bundle, hpgs_new_mem_istream(data, size, HPGS_FALSE), "owner",
                                       "title", "utf-8", mode == 2 ? red : nullptr, mode);
    hpgs_bbox page{0, 0, 2000, 2000};
    double offset[2] = {10, -10};
    for (int p = 0; p < 3; ++p) {
        int n = 0;
        hpgs_pdf_fdf_bundle_count_annotations(bundle, &n, offset, &page, p);
        hpgs_pdf_fdf_bundle_render(bundle, &dev, offset, &page, p);
    }
    // Import into a small document made by the PDF device.
    static const std::string doc = [] {
        char path[] = "/tmp/hpgspdf_fuzz_XXXXXX";
        int fd = mkstemp(path);
        if (fd >= 0) close(fd);
        hpgs_bbox box{0, 0, 600, 800};
        hpgs_device* d = hpgs_new_pdf_device(path, &box, 6, 1);
        hpgs_showpage(d, 0);
        hpgs_showpage(d, 1);
        hpgs_device_finish(d);
        hpgs_device_destroy(d);
        std::ifstream in(path, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::remove(path);
        return bytes;
    }();
    hpgs_pdf_file* pdf = hpgs_new_pdf_file(hpgs_new_mem_istream(doc.data(), doc.size(), HPGS_FALSE));
    if (pdf) {
        hpgs_pdf_file_import_fdf_bundle(pdf, bundle, 20);
        hpgs_ostream* os = hpgs_new_mem_ostream(4096);
        hpgs_pdf_file_write(pdf, os);
        hpgs_ostream_close(os);
        hpgs_destroy_pdf_file(pdf);
    }
    hpgs_pdf_fdf_bundle_destroy(bundle);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        hpgs_set_logger([](const char*, va_list) {});
        return true;
    }();
    (void)quiet;
    if (size >= 4 && std::memcmp(data, "%FDF", 4) == 0)
        fuzzFdf(data, size);
    else
        fuzzPdf(data, size);
    return 0;
}

#include "../replay_main.h"
