// Feeds arbitrary bytes to the PDF and FDF readers. Inputs that start with
// "%FDF" go through an FDF bundle (import in every mode, count, drawing,
// import into a document); everything else is opened as a PDF document and
// read, changed and written. Nothing may crash, hang or leak. Built with
// libFuzzer (XAD_FUZZ) or as a corpus replayer.

#include "hpgs_ptr.h"
#include "hpgspdf.h"
#include "hpgspdf_ptr.h"

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
    hpgs::UniquePdfFile pdf(hpgs_new_pdf_file(hpgs_new_mem_istream(data, size, HPGS_FALSE)));
    if (!pdf || hpgs_pdf_file_is_encrypted(pdf.get())) return;
    int n = hpgs_pdf_file_get_npages(pdf.get());
    for (int i = 0; i < n && i < 4; ++i) {
        hpgs_bbox bb;
        double uu;
        int angle;
        hpgs_pdf_file_get_page_crop_box(pdf.get(), i, &bb);
        hpgs_pdf_file_get_page_user_unit(pdf.get(), i, &uu);
        hpgs_pdf_file_get_native_page_angle(pdf.get(), i, &angle);
        hpgs_pdf_file_rotate_page(pdf.get(), i, 90);
        hpgs::UniqueDevice dev(hpgs_pdf_file_new_anno_device(pdf.get(), i));
        if (dev) {
            hpgs_point a{1, 1}, b{50, 50};
            hpgs_moveto(dev.get(), &a);
            hpgs_lineto(dev.get(), &b);
            hpgs_stroke(dev.get());
            hpgs_device_finish(dev.get());
        }
    }
    hpgs_pdf_file_set_info(pdf.get(), 0, "fuzz", "UTF-8");
    hpgs_pdf_file_set_info(pdf.get(), 12, "x();", "UTF-8");
    hpgs::UniqueOstream os(hpgs_new_mem_ostream(4096));
    hpgs_pdf_file_write(pdf.get(), os.get());
}

void fuzzFdf(const uint8_t* data, size_t size) {
    static const hpgs_device_vtable table = nullTable();
    hpgs_device dev{&table};
    hpgs::UniqueFdfBundle bundle(hpgs_pdf_new_fdf_bundle());
    double red[3] = {1, 0, 0};
    for (int mode : {0, 2, 3})
        hpgs_pdf_fdf_bundle_import_fdf(bundle.get(), hpgs_new_mem_istream(data, size, HPGS_FALSE), "owner",
                                       "title", "utf-8", mode == 2 ? red : nullptr, mode);
    hpgs_bbox page{0, 0, 2000, 2000};
    double offset[2] = {10, -10};
    for (int p = 0; p < 3; ++p) {
        int n = 0;
        hpgs_pdf_fdf_bundle_count_annotations(bundle.get(), &n, offset, &page, p);
        hpgs_pdf_fdf_bundle_render(bundle.get(), &dev, offset, &page, p);
    }
    // Import into a small document made by the PDF device.
    static const std::string doc = [] {
        char path[] = "/tmp/hpgspdf_fuzz_XXXXXX";
        int fd = mkstemp(path);
        if (fd >= 0) close(fd);
        hpgs_bbox box{0, 0, 600, 800};
        {
            hpgs::UniqueDevice d(hpgs_new_pdf_device(path, &box, 6, 1));
            hpgs_showpage(d.get(), 0);
            hpgs_showpage(d.get(), 1);
            hpgs_device_finish(d.get());
        }
        std::ifstream in(path, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::remove(path);
        return bytes;
    }();
    hpgs::UniquePdfFile pdf(hpgs_new_pdf_file(hpgs_new_mem_istream(doc.data(), doc.size(), HPGS_FALSE)));
    if (pdf) {
        hpgs_pdf_file_import_fdf_bundle(pdf.get(), bundle.get(), 20);
        hpgs::UniqueOstream os(hpgs_new_mem_ostream(4096));
        hpgs_pdf_file_write(pdf.get(), os.get());
    }
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
