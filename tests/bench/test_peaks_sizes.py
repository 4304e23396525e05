"""How the peak-picking benchmark measures the XML around each spectrum of an mzML."""

import pytest
from velbench import peaks

SPECTRUM = ('<spectrum index="{i}" id="scanId={i}"><cvParam name="x"/>'
            '<binary>{a}</binary><binary>{b}</binary></spectrum>\n')


@pytest.mark.parametrize("arrays", [[("", "")], [("QUJD", "REVGR0g=")], [("QQ==", ""), ("QUJDREVG" * 50, "QUI=")]])
def test_spectrum_xml_is_the_spectra_without_their_arrays(tmp_path, arrays):
    spectra = [SPECTRUM.format(i=i, a=a, b=b) for i, (a, b) in enumerate(arrays)]
    text = "<mzML><run><spectrumList>\n" + "".join(spectra) + "</spectrumList><chromatogramList/></run></mzML>\n"
    path = tmp_path / "x.mzML"
    path.write_text(text)
    got = peaks.spectrum_xml(path)
    xml = sum(len(s.rstrip("\n")) - len(a) - len(b) for s, (a, b) in zip(spectra, arrays))
    assert (got["spectra"], got["xml_bytes"], got["file_bytes"]) == (len(arrays), xml, len(text))
    assert got["xml_share"] == xml / len(text)
