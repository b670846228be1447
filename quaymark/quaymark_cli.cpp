// quaymark_cli: the click command groups a CI job runs: `badgewright` (project badges),
// `scorewarden` (Pylint report gate) and `wheelsmith` (wheel build and upload). The module only
// defines the groups; the console scripts of the package start them.
#include "runtime.hpp"

namespace {

using namespace qm;

/* Texts *******************************************************************************/

constexpr const char* URL_HELP = "Base url of the Gitlab Host";
constexpr const char* API_TOKEN_HELP =
    "Private key to gain access to the said host->Personal Access Token";
constexpr const char* PROJECT_ID_HELP = "Id of the target project under the given host";

constexpr const char* PIPELINE_ID_HELP = "Id of the current pipeline";
constexpr const char* TEST_JOB_NAME_HELP = "Name of the job from which to extract coverage";
constexpr const char* VERSION_HELP = "Version identifier";
constexpr const char* QA_VALUE_HELP = "Code quality score as string";

constexpr const char* UPDATE_BADGE_DOC = R"(
    Utility CLI to modify Gitlab badges based on https://shields.io/.
    Currently supporting version, coverage and code quality


    Coverage value will have a different color based on its value;
    [0, 30] = red; (30, 50] = yellow; (50, 70] =  light-green; (70, 100] = green 

    Code Quality value will have a different color based on its value;
    [0, 5] = red; (5, 6] = yellow; (6, 7] = light-green; (7, 10] = green
    )";
constexpr const char* SETUP_BADGES_DOC =
    " Utility CLI to initialize a gitlab repository with default badges; Version, Coverage and "
    "Code Quality";
constexpr const char* NOTHING_TO_UPDATE =
    "Expected at least one of test_job_name, version, qa_value";

constexpr const char* PYLINT_REPORT_PATH_HELP = "QA report txt file based on Pylint";
constexpr const char* RAISE_FOR_CODE_DOC =
    " Validate a pylint report looking for Failures or Errors";
constexpr const char* GET_QA_VALUE_DOC = " Returns the code's quality as a score ";

constexpr const char* CYTHON_HELP =
    "Flag to indicate that it is a Cython package and requires compilation";
constexpr const char* CLEAN_DIST_HELP =
    "Flag to indicate that dist/ folder should be deleted first";
constexpr const char* BUILD_DOC =
    " Builds a Python Package taking care of Cython compilation if indicated ";
constexpr const char* USER_HELP = "Pypi Account user";
constexpr const char* PASSWORD_HELP = "Pypi Account PAT";
constexpr const char* PYPI_HELP = "Target Pypi repository.";
constexpr const char* REPOSITORY_URL_HELP = "Provide full repository URL for custom Pypi";
constexpr const char* UPLOAD_DOC = " Uploads all wheels found under dist/ folder. ";
constexpr const char* MISSING_REPOSITORY_URL =
    "Missing option '--repository-url': it is required with '--pypi custom'.";

/* Handling an exception ***************************************************************/

/// The `except ... as e:` block of a native function. While it lives, the caught exception is
/// the one being handled: sys.exc_info() and log.exception see it, and an exception raised
/// meanwhile gets it as its context. The exception's traceback starts at the handling
/// function, as it would in Python. The previous state comes back when the block ends.
class Handling {
public:
    explicit Handling(py::error_already_set& caught) {
        caught.restore();
        if (Frame* frame = current_frame()) frame->add_traceback();
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        PyErr_NormalizeException(&type, &value, &trace);
        type_ = py::reinterpret_steal<py::object>(type);
        value_ = py::reinterpret_steal<py::object>(value);
        trace_ = py::reinterpret_steal<py::object>(trace);
        if (trace_ && PyException_SetTraceback(value_.ptr(), trace_.ptr()) < 0)
            throw py::error_already_set();

        PyErr_GetExcInfo(&type, &value, &trace);
        saved_type_ = py::reinterpret_steal<py::object>(type);
        saved_value_ = py::reinterpret_steal<py::object>(value);
        saved_trace_ = py::reinterpret_steal<py::object>(trace);
        set_exc_info(type_, value_, trace_);
    }
    ~Handling() { set_exc_info(saved_type_, saved_value_, saved_trace_); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

    /// The exception object, `e`.
    py::handle exception() const { return value_; }

private:
    static void set_exc_info(py::object type, py::object value, py::object trace) {
        // PyErr_SetExcInfo takes over the three references.
        PyErr_SetExcInfo(type.release().ptr(), value.release().ptr(), trace.release().ptr());
    }

    py::object type_, value_, trace_;
    py::object saved_type_, saved_value_, saved_trace_;
};

/// `except subprocess.CalledProcessError as e:` around the packaging calls: reports the
/// error as click applications do (`raise click.ClickException(str(e))`: "Error: ..." on
/// standard error, status 1, no traceback). The error's text names the failed command with
/// its password already masked. Anything else goes on.
void exit_on_failed_command(py::error_already_set& caught) {
    if (!matches(caught, py::module_::import("subprocess").attr("CalledProcessError"_id))) throw;
    Handling handled(caught);
    raise(global("click").attr("ClickException"_id)(py::str(handled.exception())));
}

/* gitlab_instance_options *************************************************************/

py::object gitlab_instance_options(py::handle function_) {
    py::object function = py::reinterpret_borrow<py::object>(function_);
    function = global("click").attr("option"_id)("--url", "type"_a = global("click").attr("STRING"_id),
                                              "help"_a = URL_HELP)(function);
    function = global("click").attr("option"_id)(
        "--api-token", "type"_a = global("click").attr("STRING"_id), "help"_a = API_TOKEN_HELP)(
        function);
    function = global("click").attr("option"_id)(
        "--project-id", "type"_a = global("click").attr("STRING"_id), "help"_a = PROJECT_ID_HELP)(
        function);
    return function;
}

/* Badge group *************************************************************************/

/// A badge option left out on the command line takes the value of the variable that GitLab
/// sets in every CI job (GITLAB_TOKEN: the one its own CLI reads), so that a job needs to
/// spell out none of them. An empty variable counts as unset, and an option given, even as
/// "", wins. Read here rather than through click's `envvar=`: click 7 hands an empty
/// variable over as "", which the command could not tell from an empty option.
py::object from_job(py::handle value, const Name& variable) {
    if (!value.is_none()) return py::reinterpret_borrow<py::object>(value);
    py::object os = call(global("__import__"_id), "os"_id);
    py::object found = call_method(attr(os, "environ"_id), "get"_id, variable);
    if (!truth(found)) return py::none();
    return found;
}

py::object badgewright() { return py::none(); }

py::object update_badge(py::handle url, py::handle api_token, py::handle project_id,
                        py::handle pipeline_id, py::handle test_job_name, py::handle version,
                        py::handle qa_value) {
    if (test_job_name.is_none() && version.is_none() && qa_value.is_none())
        raise(PyExc_NotImplementedError, py::str(NOTHING_TO_UPDATE));
    py::object server = from_job(url, "CI_SERVER_URL"_id);
    py::object token = from_job(api_token, "GITLAB_TOKEN"_id);
    py::object project = from_job(project_id, "CI_PROJECT_ID"_id);
    py::object pipeline = from_job(pipeline_id, "CI_PIPELINE_ID"_id);
    py::object client =
        global("Badgewright")(server, project, pipeline, token, version, qa_value);
    if (!test_job_name.is_none()) {
        global("log").attr("info"_id)("Updating coverage badge");
        line();
        client.attr("update_coverage_badge"_id)(test_job_name);
    }
    if (!version.is_none()) {
        global("log").attr("info"_id)("Updating version badge");
        line();
        client.attr("update_version_badge"_id)();
    }
    if (!qa_value.is_none()) {
        global("log").attr("info"_id)("Updating quality badge");
        line();
        client.attr("update_quality_badge"_id)();
    }
    global("sys").attr("exit"_id)(0);
    return py::none();
}

py::object setup_badges(py::handle url, py::handle api_token, py::handle project_id) {
    py::object server = from_job(url, "CI_SERVER_URL"_id);
    py::object token = from_job(api_token, "GITLAB_TOKEN"_id);
    py::object project = from_job(project_id, "CI_PROJECT_ID"_id);
    py::object client = global("Badgewright")(server, project, "pipeline_id"_a = "",
                                              "api_token"_a = token);
    line();
    client.attr("create_badges_for_project"_id)();
    return py::none();
}

/* Report group ************************************************************************/

py::object scorewarden(py::handle ctx, py::handle pylint_report_path) {
    ctx.attr("obj"_id) = global("Scorewarden")(pylint_report_path);
    return py::none();
}

py::object raise_for_code(py::handle pylint) {
    try {
        line();
        pylint.attr("validate_pylint_report"_id)();
    } catch (py::error_already_set& caught) {
        if (!matches(caught, PyExc_Exception)) throw;
        Handling handled(caught);
        global("log").attr("exception"_id)(handled.exception());
        global("sys").attr("exit"_id)(1);
    }
    global("sys").attr("exit"_id)(0);
    return py::none();
}

py::object get_qa_value(py::handle pylint) {
    line();
    py::object qa_value = pylint.attr("validate_pylint_report"_id)();
    global("print")(qa_value);
    return py::none();
}

/* Packaging group *********************************************************************/

py::object wheelsmith() { return py::none(); }

py::object build(py::handle cython, py::handle clean_dist) {
    try {
        global("Wheelsmith").attr("build"_id)(cython, clean_dist);
    } catch (py::error_already_set& caught) {
        exit_on_failed_command(caught);
    }
    return py::none();
}

py::object upload(py::handle user, py::handle password, py::handle pypi,
                  py::handle repository_url) {
    py::object repository_arg;
    if (eq(pypi, py::str("pypi"))) {
        repository_arg = py::str("");
    } else if (eq(pypi, py::str("testpypi"))) {
        repository_arg = py::str("--repository testpypi");
    } else {
        // Without a URL twine would be handed the word None as the index.
        if (repository_url.is_none())
            raise(global("click").attr("UsageError"_id)(
                MISSING_REPOSITORY_URL,
                global("click").attr("get_current_context"_id)("silent"_a = true)));
        py::object url = py::module_::import("shlex").attr("quote"_id)(fstr({repository_url}));
        repository_arg = fstr({"--repository-url ", url});
    }
    try {
        global("Wheelsmith").attr("upload"_id)(user, password, repository_arg);
    } catch (py::error_already_set& caught) {
        exit_on_failed_command(caught);
    }
    return py::none();
}

/* module body *************************************************************************/

/// click.option(decl, type=click.STRING, default=None, help=help)
py::object string_option(const char* decl, const char* help, py::object default_) {
    return global("click").attr("option"_id)(decl, "type"_a = global("click").attr("STRING"_id),
                                          "default"_a = default_, "help"_a = help);
}

py::object flag_option(const char* decl, const char* help) {
    return global("click").attr("option"_id)(decl, "is_flag"_a = true, "help"_a = help);
}

void body() {
    import("click");
    import("sys");
    import("logging");
    import_from("badgewright", "Badgewright");
    import_from("scorewarden", "Scorewarden");
    import_from("wheelsmith", "Wheelsmith");
    global("logging").attr("basicConfig"_id)("stream"_a = global("sys").attr("stdout"_id),
                                          "level"_a = global("logging").attr("INFO"_id));
    set_global("log", global("logging").attr("getLogger"_id)(global("__name__")));

    set_global("gitlab_instance_options",
               def<gitlab_instance_options>("gitlab_instance_options", {"function"}));

    // Each definition evaluates its decorators top to bottom, then makes the function and
    // applies them bottom-up, as a decorated def does.
    {
        py::object group = global("click").attr("group"_id)();
        set_global("badgewright", group(def<badgewright>("badgewright", {})));
    }
    {
        py::object command = global("badgewright").attr("command"_id)();
        py::object instance_options = global("gitlab_instance_options");
        py::object pipeline_id = string_option("--pipeline-id", PIPELINE_ID_HELP, py::none());
        py::object test_job_name =
            string_option("--test-job-name", TEST_JOB_NAME_HELP, py::none());
        py::object version = string_option("--version", VERSION_HELP, py::none());
        py::object qa_value = string_option("--qa-value", QA_VALUE_HELP, py::none());
        py::object function = def<update_badge>(
            "update_badge",
            {"url", "api_token", "project_id", "pipeline_id", "test_job_name", "version",
             "qa_value"},
            {.doc = UPDATE_BADGE_DOC});
        set_global("update_badge", command(instance_options(
                                       pipeline_id(test_job_name(version(qa_value(function)))))));
    }
    {
        py::object command = global("badgewright").attr("command"_id)();
        py::object instance_options = global("gitlab_instance_options");
        py::object function = def<setup_badges>("setup_badges", {"url", "api_token", "project_id"},
                                                {.doc = SETUP_BADGES_DOC});
        set_global("setup_badges", command(instance_options(function)));
    }

    {
        py::object group = global("click").attr("group"_id)();
        py::object report_path =
            string_option("--pylint-report-path", PYLINT_REPORT_PATH_HELP, py::str(""));
        py::object pass_context = global("click").attr("pass_context"_id);
        py::object function = def<scorewarden>("scorewarden", {"ctx", "pylint_report_path"});
        set_global("scorewarden", group(report_path(pass_context(function))));
    }
    {
        py::object command = global("scorewarden").attr("command"_id)();
        py::object pass_obj = global("click").attr("pass_obj"_id);
        py::object function =
            def<raise_for_code>("raise_for_code", {"pylint"}, {.doc = RAISE_FOR_CODE_DOC});
        set_global("raise_for_code", command(pass_obj(function)));
    }
    {
        py::object command = global("scorewarden").attr("command"_id)();
        py::object pass_obj = global("click").attr("pass_obj"_id);
        py::object function =
            def<get_qa_value>("get_qa_value", {"pylint"}, {.doc = GET_QA_VALUE_DOC});
        set_global("get_qa_value", command(pass_obj(function)));
    }

    {
        py::object group = global("click").attr("group"_id)();
        set_global("wheelsmith", group(def<wheelsmith>("wheelsmith", {})));
    }
    {
        py::object command = global("wheelsmith").attr("command"_id)();
        py::object cython = flag_option("--cython", CYTHON_HELP);
        py::object clean_dist = flag_option("--clean-dist", CLEAN_DIST_HELP);
        py::object function = def<build>("build", {"cython", "clean_dist"}, {.doc = BUILD_DOC});
        set_global("build", command(cython(clean_dist(function))));
    }
    {
        py::object command = global("wheelsmith").attr("command"_id)();
        py::object user = string_option("--user", USER_HELP, py::none());
        py::object password = string_option("--password", PASSWORD_HELP, py::none());
        py::list words;
        for (const char* word : {"pypi", "testpypi", "custom"}) words.append(word);
        py::object choices = global("click").attr("Choice"_id)(words, "case_sensitive"_a = false);
        py::object pypi = global("click").attr("option"_id)(
            "--pypi", "type"_a = choices, "default"_a = "pypi", "help"_a = PYPI_HELP);
        py::object repository_url =
            string_option("--repository-url", REPOSITORY_URL_HELP, py::none());
        py::object function = def<upload>(
            "upload", {"user", "password", "pypi", "repository_url"}, {.doc = UPLOAD_DOC});
        set_global("upload", command(user(password(pypi(repository_url(function))))));
    }
}

}  // namespace

QM_MODULE(quaymark_cli, body)
