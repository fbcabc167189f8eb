"""The hand-written typed stubs, the package's names and the extension's own
text signatures describe one interface: a parameter, default, method or
property added to one of them and not the others fails here."""

import ast
import importlib.resources
import inspect

import pytest

import korvane
from korvane import _korvane_core as core

STUB = ast.parse((importlib.resources.files("korvane") / "_korvane_core.pyi").read_text())
STUB_DEFINITIONS = {node.name: node for node in STUB.body if isinstance(node, ast.FunctionDef | ast.ClassDef)}
CLASSES = [name for name in core.__all__ if isinstance(getattr(core, name), type)]
FUNCTIONS = [name for name in core.__all__ if name not in CLASSES]
# Private entry points the package builds on; typed too, though not exported.
PRIVATE_FUNCTIONS = sorted(name for name, value in vars(core).items() if name.startswith("_") and not name.startswith("__") and callable(value) and not isinstance(value, type))


def stub_all():
    (assignment,) = [n for n in STUB.body if isinstance(n, ast.Assign) and ast.unparse(n.targets[0]) == "__all__"]
    return ast.literal_eval(assignment.value)


def stub_parameters(function, is_method):
    """(name, kind, repr of the default) of each parameter, `self` left out."""
    arguments = function.args
    assert arguments.vararg is None and arguments.kwarg is None
    ordered = arguments.posonlyargs + arguments.args
    defaults = [None] * (len(ordered) - len(arguments.defaults)) + arguments.defaults
    kinds = [inspect.Parameter.POSITIONAL_ONLY] * len(arguments.posonlyargs) + [inspect.Parameter.POSITIONAL_OR_KEYWORD] * len(arguments.args)
    rows = list(zip(ordered, kinds, defaults))
    rows += [(a, inspect.Parameter.KEYWORD_ONLY, d) for a, d in zip(arguments.kwonlyargs, arguments.kw_defaults)]
    if is_method:
        assert rows[0][0].arg == "self"
        rows = rows[1:]
    return [(a.arg, kind, None if d is None else repr(ast.literal_eval(d))) for a, kind, d in rows]


def runtime_parameters(callable_, is_method):
    assert callable_.__text_signature__ is not None
    parameters = list(inspect.signature(callable_).parameters.values())
    if is_method:
        assert parameters[0].name == "self" and parameters[0].kind is inspect.Parameter.POSITIONAL_ONLY
        parameters = parameters[1:]
    # The binding takes positional parameters by keyword too.
    kind = lambda p: inspect.Parameter.POSITIONAL_OR_KEYWORD if p.kind is inspect.Parameter.POSITIONAL_ONLY else p.kind
    return [(p.name, kind(p), None if p.default is p.empty else repr(p.default)) for p in parameters]


def stub_members(class_name):
    """The stub's methods and properties of a class, those of its stub-only bases included."""
    node = STUB_DEFINITIONS[class_name]
    members = {}
    for base in node.bases:
        if ast.unparse(base) in STUB_DEFINITIONS:
            members |= stub_members(ast.unparse(base))
    members |= {n.name: n for n in node.body if isinstance(n, ast.FunctionDef)}
    return members


def agrees_in_summary(stub_node, runtime_object):
    """The stub's docstring opens the first paragraph of the run-time one; both or neither exist."""
    stub_doc = ast.get_docstring(stub_node)
    if stub_doc is None or runtime_object.__doc__ is None:
        return stub_doc is runtime_object.__doc__
    return runtime_object.__doc__.split("\n\n")[0].startswith(stub_doc)


def is_property(function):
    return any(ast.unparse(d) == "property" for d in function.decorator_list)


def test_stub_package_and_module_list_the_same_public_names():
    assert stub_all() == core.__all__ == korvane.__all__[: len(core.__all__)]
    defined = {name for name in STUB_DEFINITIONS if not name.startswith("_")}
    assert defined == {name for name in vars(core) if not name.startswith("_")}


@pytest.mark.parametrize("name", FUNCTIONS + PRIVATE_FUNCTIONS)
def test_function_parameters_defaults_and_summary_agree(name):
    assert stub_parameters(STUB_DEFINITIONS[name], False) == runtime_parameters(getattr(core, name), False)
    assert agrees_in_summary(STUB_DEFINITIONS[name], getattr(core, name))


@pytest.mark.parametrize("name", CLASSES + ["PanicException"])
def test_class_summary_and_bases_agree(name):
    assert agrees_in_summary(STUB_DEFINITIONS[name], getattr(core, name))
    bases = [ast.unparse(b) for b in STUB_DEFINITIONS[name].bases if ast.unparse(b) not in STUB_DEFINITIONS]
    assert [b.__name__ for b in getattr(core, name).__bases__] == (bases or ["object"])


@pytest.mark.parametrize("name", CLASSES)
def test_class_methods_and_properties_agree(name):
    cls = getattr(core, name)
    members = stub_members(name)
    stub_properties = {n for n, f in members.items() if is_property(f)}
    runtime = {n: v for n, v in vars(cls).items() if not n.startswith("__")}
    assert stub_properties == {n for n, v in runtime.items() if type(v).__name__ == "getset_descriptor"}
    stub_methods = {n: f for n, f in members.items() if not is_property(f)}
    runtime_methods = {n: v for n, v in runtime.items() if type(v).__name__ == "method_descriptor"}
    assert stub_methods.keys() == runtime_methods.keys()
    for method, function in stub_methods.items():
        assert stub_parameters(function, True) == runtime_parameters(runtime_methods[method], True), method
