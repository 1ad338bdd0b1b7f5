// meridan.brinson.classifier: which sector a stock belongs to, under the MSCI sector
// scheme or the Shenwan level-1 industries, read from the market-data client, and
// the full sector list of each scheme (the rows of every attribution table).
#include <pybind11/pybind11.h>

#include <utility>

#include "common/args.hpp"
#include "common/globals.hpp"
#include "common/names.hpp"
#include "common/pyclass.hpp"

namespace py = pybind11;
namespace mb = meridan::bind;

namespace {

constexpr std::pair<const char*, const char*> kShenWanIndustries[] = {
    {"801010.INDX", "农林牧渔"}, {"801020.INDX", "采掘"},
    {"801030.INDX", "化工"},     {"801040.INDX", "钢铁"},
    {"801050.INDX", "有色金属"}, {"801080.INDX", "电子"},
    {"801110.INDX", "家用电器"}, {"801120.INDX", "食品饮料"},
    {"801130.INDX", "纺织服装"}, {"801140.INDX", "轻工制造"},
    {"801150.INDX", "医药生物"}, {"801160.INDX", "公用事业"},
    {"801170.INDX", "交通运输"}, {"801180.INDX", "房地产"},
    {"801200.INDX", "商业贸易"}, {"801210.INDX", "休闲服务"},
    {"801230.INDX", "综合"},     {"801710.INDX", "建筑材料"},
    {"801720.INDX", "建筑装饰"}, {"801730.INDX", "电气设备"},
    {"801740.INDX", "国防军工"}, {"801750.INDX", "计算机"},
    {"801760.INDX", "传媒"},     {"801770.INDX", "通信"},
    {"801780.INDX", "银行"},     {"801790.INDX", "非银金融"},
    {"801880.INDX", "汽车"},     {"801890.INDX", "机械设备"},
};

// "工业" comes last, after "公共服务", as the scheme's list has always had it.
constexpr const char* kMsciSectors[] = {
    "能源", "原材料",   "非必需消费品", "必需消费品", "医疗保健",
    "金融", "信息技术", "电信服务",     "公共服务",   "工业",
};

// A classifier's call: the named attribute of the client's instrument record. The
// client is looked up at call time, by interned names: attribution calls this twice
// per instrument and period.
template <mb::fixed_string Attribute>
py::object record_attribute(const py::module_& m, const py::object& order_book_id) {
    PyObject* client = PyDict_GetItemWithError(PyModule_GetDict(m.ptr()),
                                               mb::name<"tickvane">().ptr());
    if (!client) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_NameError, "name 'tickvane' is not defined");
        throw py::error_already_set();
    }
    py::object instruments = mb::getattr<"instruments">(client);
    PyObject* record = PyObject_CallOneArg(instruments.ptr(), order_book_id.ptr());
    if (!record) throw py::error_already_set();
    return mb::getattr<Attribute>(py::reinterpret_steal<py::object>(record));
}

}  // namespace

PYBIND11_MODULE(classifier, m, py::mod_gil_not_used()) {
    m.doc() =
        "Sector classifiers: the MSCI sectors and the Shenwan level-1 industries.";
    m.attr("tickvane") = py::module_::import("tickvane");

    py::dict industry_map;
    for (const auto& [index_id, name] : kShenWanIndustries)
        industry_map[index_id] = name;
    m.attr("SHENWAN_INDUSTRY_MAP") = industry_map;

    py::object base = mb::make_class(
        m, "SectorDecider", py::tuple(),
        "A sector classification scheme: `all_sectors()` lists its sectors in a fixed\n"
        "order and calling it with an order book id names the sector of that "
        "instrument.");
    mb::def_method(base, {"__init__", {"self"}, {}}, "Takes no settings.",
                   [](mb::Args) { return py::object(py::none()); });
    mb::def_abstract_method(base, {"all_sectors", {"self"}, {}},
                            "Implemented by schemes: the list of all sector names.");
    mb::def_abstract_method(
        base, {"__call__", {"self", "order_book_id"}, {}},
        "Implemented by schemes: the sector name of an instrument.");

    py::object msci = mb::make_class(
        m, "MSCISectorDecider", py::make_tuple(base),
        "The MSCI sector scheme (10 sectors, Chinese names), read from the client's\n"
        "instrument records.");
    mb::def_method(msci, {"all_sectors", {"self"}, {}},
                   "A new list of the 10 MSCI sector names, in the scheme's order.",
                   [](mb::Args) {
                       py::list sectors;
                       for (const char* name : kMsciSectors) sectors.append(name);
                       return py::object(sectors);
                   });
    mb::def_method(
        msci, {"__call__", {"self", "order_book_id"}, {}},
        "The MSCI sector name of the instrument: the `sector_code_name` of\n"
        "`tickvane.instruments(order_book_id)`, unchecked.",
        [m](mb::Args a) { return record_attribute<"sector_code_name">(m, a[1]); });

    py::object shenwan = mb::make_class(
        m, "ShenWanSectorDecider", py::make_tuple(base),
        "The Shenwan level-1 industries (28, Chinese names), read from the client's\n"
        "instrument records.");
    py::list industries;
    for (py::handle name : industry_map.attr("values")()) industries.append(name);
    shenwan.attr("SHENWAN_INDUSTRIES") = industries;
    mb::def_method(
        shenwan, {"all_sectors", {"self"}, {}},
        "The 28 industry names in the order of SHENWAN_INDUSTRY_MAP: the\n"
        "class-level SHENWAN_INDUSTRIES list itself, shared, not a copy.",
        [](mb::Args a) { return py::object(a[0].attr("SHENWAN_INDUSTRIES")); });
    mb::def_method(
        shenwan, {"__call__", {"self", "order_book_id"}, {}},
        "The Shenwan industry name of the instrument: the\n"
        "`shenwan_industry_name` of `tickvane.instruments(order_book_id)`,\n"
        "unchecked.",
        [m](mb::Args a) { return record_attribute<"shenwan_industry_name">(m, a[1]); });

    m.attr("SectorDecider_MSCI") = msci();
    m.attr("SectorDecider_ShenWan") = shenwan();
}
