// Allocation failures inside the PDF layer: every C function reports them
// as its failure (NULL or -1 with a message), closes what it was given,
// and leaves documents, bundles and content streams as sound as before.
// qpdf turns some of them into warnings and "repairs" what it could not
// read; such a document must not be handed out as the input.
// Each test fails the allocations of its call in turn (alloc_failure.h).
#include "alloc_failure.h"
#include "helpers.h"
#include "hpgs_ptr.h"

// qpdf leaks some of its own objects when an allocation fails inside it
// (qpdf alone, opening a sound file with each allocation failing in turn,
// leaks about 3 KB in 40 objects under LeakSanitizer). Leaks whose
// allocation ran through libqpdf are passed over; the library's own
// objects are allocated from its own code and stay checked.
extern "C" const char *__lsan_default_suppressions() { return "leak:libqpdf.so\n"; }

using alloc_failure::each_failing_allocation;
using alloc_failure::FailAllocation;
using alloc_failure::open_fds;
using namespace testpdf;

namespace {

// Drawn annotations of pages 0 to 3.
int drawnAnnotations(hpgs_pdf_fdf_bundle* b) {
    int total = 0;
    for (int page = 0; page < 4; ++page) {
        int n = 0;
        EXPECT_EQ(hpgs_pdf_fdf_bundle_count_annotations(b, &n, nullptr, nullptr, page), 0);
        total += n;
    }
    return total;
}

TEST(PdfAllocationFailure, OpeningADocumentClosesItsStreamWhateverFails) {
    const std::string path = dataPath("pdf/letter_3pages.pdf");
    const long fds = open_fds();
    for (long n = 0;; n += 1 + n / 40) {
        hpgs_istream* is = hpgs_new_file_istream(path.c_str());
        ASSERT_NE(is, nullptr);
        bool fired;
        PdfPtr pdf;
        {
            FailAllocation fail(n);
            pdf.reset(hpgs_new_pdf_file(is));
            fired = fail.fired();
        }
        if (!pdf) {
            EXPECT_TRUE(fired) << hpgs_get_error();
            EXPECT_STRNE(hpgs_get_error(), "") << "allocation " << n;
        } else {
            EXPECT_EQ(hpgs_pdf_file_get_npages(pdf.get()), 3) << "allocation " << n;
        }
        pdf.reset();
        EXPECT_EQ(open_fds(), fds) << "allocation " << n;
        if (!fired) break;
    }
}

TEST(PdfAllocationFailure, FdfImportIsAllOrNothing) {
    const std::string first = dataPath("fdf/square.fdf"), second = dataPath("fdf/multi_page.fdf");
    int alone = 0;
    {
        BundlePtr b(hpgs_pdf_new_fdf_bundle());
        ASSERT_EQ(importFdf(b.get(), second, HPGS_PDF_FDF_DRAW), 0) << hpgs_get_error();
        alone = drawnAnnotations(b.get());
        ASSERT_GE(alone, 2);
    }
    const long fds = open_fds();
    for (long n = 0;; n += 1 + n / 40) {
        BundlePtr b(hpgs_pdf_new_fdf_bundle());
        ASSERT_EQ(importFdf(b.get(), first, HPGS_PDF_FDF_DRAW), 0);
        const int before = drawnAnnotations(b.get());
        hpgs_istream* is = hpgs_new_file_istream(second.c_str());
        int rc;
        bool fired;
        {
            FailAllocation fail(n);
            rc = hpgs_pdf_fdf_bundle_import_fdf(b.get(), is, "owner", "title", "utf-8", nullptr,
                                                HPGS_PDF_FDF_DRAW);
            fired = fail.fired();
        }
        if (rc != 0) {
            EXPECT_TRUE(fired);
            EXPECT_EQ(drawnAnnotations(b.get()), before) << "allocation " << n;
        } else {
            EXPECT_EQ(drawnAnnotations(b.get()), before + alone) << "allocation " << n;
        }
        EXPECT_EQ(open_fds(), fds) << "allocation " << n;
        if (!fired) break;
    }
}

// Clips nested on a PDF device with one allocation failing: the calls
// fail, and the page written afterwards still has a balanced content
// stream that qpdf accepts.
TEST(PdfAllocationFailure, ContentStreamsStayBalancedWhenCallsFail) {
    TempDir tmp;
    const std::string path = tmp.path("clips.pdf");
    const hpgs_bbox box{0, 0, 200, 200};
    const hpgs_point a{10, 10}, b{190, 10}, c{190, 190}, d{10, 190};
    auto square = [&](hpgs_device* dev) {
        return hpgs_moveto(dev, &a) | hpgs_lineto(dev, &b) | hpgs_lineto(dev, &c) | hpgs_lineto(dev, &d) |
               hpgs_closepath(dev);
    };
    long failures = 0;
    each_failing_allocation(
        [&] {
            DevicePtr dev(hpgs_new_pdf_device(path.c_str(), &box, 0, 1));
            if (!dev) return std::make_pair(std::move(dev), -1);
            int rc = hpgs_clipsave(dev.get()) | square(dev.get()) | hpgs_clip(dev.get(), HPGS_TRUE) |
                     hpgs_clipsave(dev.get()) | square(dev.get()) | hpgs_fill(dev.get(), HPGS_FALSE) |
                     hpgs_cliprestore(dev.get()) | square(dev.get()) | hpgs_stroke(dev.get()) |
                     hpgs_cliprestore(dev.get());
            return std::make_pair(std::move(dev), rc);
        },
        [&](std::pair<DevicePtr, int> r, bool fired, long n) {
            if (!r.first) {
                EXPECT_TRUE(fired) << hpgs_get_error();
                return;
            }
            if (!fired) {
                EXPECT_EQ(r.second, 0) << hpgs_get_error();
            } else if (r.second != 0) {
                ++failures;
            }
            ASSERT_EQ(hpgs_showpage(r.first.get(), 0), 0) << hpgs_get_error();
            ASSERT_EQ(hpgs_device_finish(r.first.get()), 0) << hpgs_get_error();
            r.first.reset();
            EXPECT_EQ(qpdfCheck(path), 0) << "allocation " << n;
        });
    EXPECT_GT(failures, 5);
}

// A prepend that fails half-way must not leave pages that read from a
// document already released: writing the result afterwards is sound.
TEST(PdfAllocationFailure, FailedPrependLeavesAWritableDocument) {
    for (long n = 0;; n += 1 + n / 20) {
        PdfPtr letter = openPdf(dataPath("pdf/letter_3pages.pdf"));
        PdfPtr a4 = openPdf(dataPath("pdf/a4_drawing.pdf"));
        ASSERT_TRUE(letter && a4);
        int rc;
        bool fired;
        {
            FailAllocation fail(n);
            rc = hpgs_pdf_file_prepend_pdf_file(letter.get(), a4.release());
            fired = fail.fired();
        }
        hpgs::UniqueOstream os(hpgs_new_mem_ostream(0));
        const int written = hpgs_pdf_file_write(letter.get(), os.get());
        if (rc == 0) {
            EXPECT_EQ(hpgs_pdf_file_get_npages(letter.get()), 4) << "allocation " << n;
            EXPECT_EQ(written, 0) << hpgs_get_error();
        } else {
            EXPECT_TRUE(fired) << hpgs_get_error();
        }
        if (!fired) break;
    }
}

}  // namespace
