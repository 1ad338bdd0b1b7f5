// meridan.brinson.report: draws the Brinson attribution table as two bokeh charts, the
// sector weights of portfolio and benchmark side by side and the four total effects as
// horizontal bars. In a notebook the charts are shown inline, with BokehJS embedded so
// that they render without network access; elsewhere `show` writes a standalone page.
// `report_figures` hands the two figures back without showing them, for pages and
// scripts.
#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <vector>

#include "common/args.hpp"
#include "common/convert.hpp"
#include "common/globals.hpp"
#include "common/named.hpp"
#include "common/pyclass.hpp"
#include "meridan/charts/bars.hpp"

namespace py = pybind11;
using meridan::bind::Signature;

namespace {

constexpr int kWidth = 960;
constexpr int kHeight = 600;
constexpr const char* kTotalRow = "总计";

// Effect labels of the Brinson chart, bottom to top, and the column each shows.
constexpr const char* kEffectLabels[] = {"交互作用", "选股配置", "资产配置",
                                         "主动收益"};
constexpr const char* kEffectColumns[] = {"Interaction", "Selection", "Allocation",
                                          "TotalActiveReturn"};

// The values of a column as doubles; TypeError naming the column and the value that
// is not a number.
std::vector<double> as_doubles(const py::handle values, const char* column) {
    std::vector<double> out;
    const std::string what = std::string("df['") + column + "']";
    for (py::handle v : values) out.push_back(meridan::bind::to_double(v, what));
    return out;
}

// The figure's common settings: size, title, the save tool only, no grid lines.
// `range_keyword` is "x_range" or "y_range", set to the categories.
py::object new_figure(py::handle m, const char* range_keyword,
                      const py::list& categories, const char* title) {
    py::dict kwargs;
    kwargs["width"] = kWidth;
    kwargs["height"] = kHeight;
    kwargs[range_keyword] = categories;
    kwargs["tools"] = meridan::bind::global(m, "TOOLS");
    py::object fig = meridan::bind::global(m, "figure")(**kwargs);
    fig.attr("title") = title;
    fig.attr("grid").attr("grid_line_alpha") = 0;
    return fig;
}

void draw_bar(const py::object& fig, const meridan::charts::Bar& bar,
              const py::object& colour, const char* legend) {
    py::dict kwargs;
    kwargs["x"] = bar.x;
    kwargs["y"] = bar.y;
    kwargs["width"] = bar.width;
    kwargs["height"] = bar.height;
    kwargs["color"] = colour;
    kwargs["width_units"] = "data";
    kwargs["height_units"] = "data";
    if (legend) kwargs["legend_label"] = legend;
    fig.attr("rect")(**kwargs);
}

void draw_line(const py::object& fig, double x0, double y0, double x1, double y1) {
    py::list xs, ys;
    xs.append(x0);
    xs.append(x1);
    ys.append(y0);
    ys.append(y1);
    fig.attr("line")(xs, ys);
}

// The sector-weight chart: every row but the last (the total, whatever its label),
// benchmark bar 0.1 left of the sector's centre, portfolio bar 0.1 right of it.
py::object sector_weights_figure(py::handle m, const py::object& df) {
    py::slice all_but_last(py::none(), py::int_(-1), py::none());
    py::object benchmark = df[py::str("BenchmarkWeight")].attr("iloc")[all_but_last];
    py::object portfolio = df[py::str("PortfolioWeight")].attr("iloc")[all_but_last];
    py::list sectors = benchmark.attr("index").attr("tolist")();

    py::object fig = new_figure(m, "x_range", sectors, "Sector Weights");
    const py::object palette = meridan::bind::global(m, "Blues8");
    const py::object benchmark_colour = palette[py::int_(0)];
    const py::object portfolio_colour = palette[py::int_(4)];
    const auto left = meridan::charts::column_bars(
        as_doubles(benchmark.attr("tolist")(), "BenchmarkWeight"), -0.1, 0.2);
    const auto right = meridan::charts::column_bars(
        as_doubles(portfolio.attr("tolist")(), "PortfolioWeight"), 0.1, 0.2);
    for (std::size_t i = 0; i < left.size(); ++i) {
        draw_bar(fig, left[i], benchmark_colour, "benchmark");
        if (i < right.size()) draw_bar(fig, right[i], portfolio_colour, "portfolio");
    }
    draw_line(fig, 0, 0, 100, 0);
    return fig;
}

// The Brinson chart: the four effects of the total row, one horizontal bar each.
py::object effects_figure(py::handle m, const py::object& df) {
    py::object total = df.attr("xs")(py::str(kTotalRow));
    std::vector<double> values;
    py::list labels;
    for (std::size_t i = 0; i < 4; ++i) {
        values.push_back(
            py::float_(py::object(total[py::str(kEffectColumns[i])])).cast<double>());
        labels.append(py::str(kEffectLabels[i]));
    }
    py::object fig = new_figure(m, "y_range", labels, "Brinson Analysis");
    const py::object palette = meridan::bind::global(m, "Blues8");
    const auto bars = meridan::charts::row_bars(values, 0.4);
    for (std::size_t i = 0; i < bars.size(); ++i) {
        draw_bar(fig, bars[i], palette[py::int_(i)], nullptr);
    }
    draw_line(fig, 0, 0, 0, 5);
    return fig;
}

void show(py::handle m, const py::object& fig) {
    meridan::bind::global(m, "show")(fig);
}

// Whether this process is a running IPython kernel (a notebook's or a console's): only
// then can charts be shown inline. IPython merely installed, or a terminal IPython, is
// not one; its module is not imported here when nobody has imported it yet, since
// setting up notebook output outside a kernel takes over a plain REPL.
bool in_kernel() {
    py::dict modules = py::module_::import("sys").attr("modules");
    if (!modules.contains("IPython")) return false;
    py::object ipython = modules["IPython"];
    if (ipython.is_none() || !py::hasattr(ipython, "get_ipython")) return false;
    py::object shell = ipython.attr("get_ipython")();
    return !shell.is_none() && !py::getattr(shell, "kernel", py::none()).is_none();
}

// Where charts go when shown. Inside a kernel, into the notebook, BokehJS inline.
// Anywhere else `show` writes a standalone page, BokehJS inline, into the temporary
// directory and opens it in a browser; nothing else in the interpreter changes.
void set_output(py::module_& m) {
    py::object resources = py::module_::import("bokeh.resources").attr("INLINE");
    if (in_kernel()) {
        try {
            meridan::bind::global(m,
                                  "output_notebook")(py::arg("resources") = resources);
            return;
        } catch (const py::error_already_set& e) {
            // A kernel that cannot serve the notebook mode (a broken install, say)
            // must not make the import fail: fall back to a page.
            if (!e.matches(PyExc_Exception)) throw;
        }
    }
    py::object path = py::module_::import("os.path");
    py::object page =
        path.attr("join")(py::module_::import("tempfile").attr("gettempdir")(),
                          "meridan-brinson-report.html");
    py::module_::import("bokeh.io")
        .attr("output_file")(page, py::arg("title") = "Brinson Analysis",
                             py::arg("mode") = "inline");
}

}  // namespace

PYBIND11_MODULE(report, m) {
    m.doc() =
        "Charts of the Brinson attribution table: sector weights and the total "
        "effects.\n"
        "\n"
        "Inside a running IPython kernel (a notebook) the charts are shown inline;\n"
        "anywhere else (a script, a plain or IPython terminal) `show` writes a "
        "standalone\n"
        "page into the temporary directory and opens it in a browser.\n"
        "BokehJS is embedded in either case, so no network access is needed.";
    py::module_ plotting = py::module_::import("bokeh.plotting");
    m.attr("figure") = plotting.attr("figure");
    m.attr("show") = plotting.attr("show");
    m.attr("output_notebook") = py::module_::import("bokeh.io").attr("output_notebook");
    m.attr("Blues8") = py::module_::import("bokeh.palettes").attr("Blues8");
    set_output(m);
    py::list tools;
    tools.append("save");
    m.attr("TOOLS") = tools;

    meridan::bind::def_function(
        m, Signature{"gen_sector_weights", {"df"}, {}},
        "Shows the sector-weight chart of attribution table `df`: per sector (every "
        "row\n"
        "but the last, the total), the benchmark's and the portfolio's average weight\n"
        "(fractions) as bars side by side. Returns None.",
        meridan::bind::named<1>([m = py::handle(m)](const py::object& df) {
            show(m, sector_weights_figure(m, df));
            return py::object(py::none());
        }));

    meridan::bind::def_function(
        m, Signature{"generate_report", {"df"}, {}},
        "Shows the sector-weight chart, then the Brinson chart of attribution table\n"
        "`df`: the interaction, selection, allocation and total active return of its\n"
        "row \"总计\" as horizontal bars (fractions). Returns None.",
        meridan::bind::named<1>([m = py::handle(m)](const py::object& df) {
            show(m, sector_weights_figure(m, df));
            show(m, effects_figure(m, df));
            return py::object(py::none());
        }));

    meridan::bind::def_function(
        m, Signature{"report_figures", {"df"}, {}},
        "The two charts of attribution table `df` as bokeh figures, without showing\n"
        "them: a tuple (sector-weight chart, Brinson chart), for embedding in a page\n"
        "(bokeh.embed.file_html) or further styling.",
        meridan::bind::named<1>([m = py::handle(m)](const py::object& df) {
            py::object weights = sector_weights_figure(m, df);
            return py::object(py::make_tuple(weights, effects_figure(m, df)));
        }));
}
