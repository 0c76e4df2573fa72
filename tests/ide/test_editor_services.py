"""The editor's language requests end to end: answers that know the workbook's modules
and unsaved buffers, diagnostics, and failures answered instead of ending the session."""
from .conftest import kernel_session, run, sync_module

SHAPES = '''def area(width, height):
    """Area of a rectangle."""
    return width * height

UNIT = "cm"
'''


def test_completion_signature_hover_and_diagnostics(module_name):
    async def main():
        async with kernel_session() as s:
            shapes, draft = module_name("shapes"), module_name("draft")
            await sync_module(s, shapes, SHAPES)
            ids = {"workbook_id": "wb-e", "module_name": "editor"}
            code = f"import {shapes}\n{shapes}.ar"
            await s.send({"type": "completion_request", "request_id": "c1", "code": code, "line": 2,
                          "column": len(shapes) + 3, **ids})
            completion = await s.wait_for("completion_response")
            assert list(completion) == ["type", "completions", "error", "request_id", "workbook_id", "module_name"]
            assert completion["error"] is None and (completion["request_id"], completion["workbook_id"]) == ("c1", "wb-e")
            assert "area" in [item["label"] for item in completion["completions"]]

            # An unsaved buffer of another module is what the editor completes against.
            code = f"import {draft}\n{draft}."
            await s.send({"type": "completion_request", "request_id": "c2", "code": code, "line": 2,
                          "column": len(draft) + 1, "dirty_files": {draft: "def fresh_name():\n    pass\n"}, **ids})
            labels = [item["label"] for item in (await s.wait_for("completion_response"))["completions"]]
            assert "fresh_name" in labels

            code = f"import {shapes}\n{shapes}.area(1, "
            await s.send({"type": "signature_help_request", "request_id": "s1", "code": code, "line": 2,
                          "column": len(code.splitlines()[1]), **ids})
            signature = await s.wait_for("signature_help_response")
            assert signature["activeParameter"] == 1 and "width" in signature["signatures"][0]["label"]

            code = f"import {shapes}\n{shapes}.area"
            await s.send({"type": "hover_request", "request_id": "h1", "code": code, "line": 2,
                          "column": len(shapes) + 2, **ids})
            hover = await s.wait_for("hover_response")
            assert "Area of a rectangle." in hover["contents"]["value"]

            await s.send({"type": "diagnostic_request", "request_id": "d1", "code": "x = undefined_name\n", **ids})
            await s.send({"type": "diagnostic_request", "request_id": "d2", "code": "def broken(:\n"})
            found = (await s.wait_for("diagnostic_response"))["diagnostics"]
            assert any("undefined_name" in d["message"] for d in found)
            broken = await s.wait_for("diagnostic_response")
            assert broken["module_name"] is None and broken["diagnostics"][0]["severity"] == 1
            assert broken["diagnostics"][0]["range"]["start"]["line"] == 0

    run(main())


def test_a_failing_language_service_is_answered_and_the_kernel_serves_on():
    class Failing:
        def get_completions(self, **kwargs):
            raise RuntimeError("jedi exploded")

        def get_diagnostics(self, **kwargs):
            raise MemoryError("out of memory in the analyser")

    async def main():
        async with kernel_session() as s:
            bridge, s.kernel._lsp_bridge = s.kernel._lsp_bridge, Failing()
            await s.send({"type": "completion_request", "request_id": "c", "code": "x."})
            await s.send({"type": "diagnostic_request", "request_id": "d", "code": "x"})
            await s.send({"type": "hover_request", "request_id": "h", "code": 5})
            assert await s.wait_for("completion_response") == {
                "type": "completion_response", "completions": [], "error": "jedi exploded", "request_id": "c",
                "workbook_id": None, "module_name": None}
            assert (await s.wait_for("diagnostic_response"))["error"] == "out of memory in the analyser"
            hover = await s.wait_for("hover_response")
            assert hover["contents"] is None and hover["error"]
            s.kernel._lsp_bridge = bridge
            assert (await s.execute("'serving'", "after"))["result"] == "'serving'"

    run(main())
