// Shotcut's listing of the pluvane frei0r filter: its name, the panel
// (ui.qml) and the parameters whose keyframes Shotcut's keyframes panel
// shows. Parameters are frei0r parameter numbers, values in the controls'
// own units (the panel sets "Units" to "native").
import QtQuick 2.0
import org.shotcut.qml 1.0

Metadata {
    type: Metadata.Filter
    name: qsTr('Pluvane')
    keywords: qsTr('rain ripple drops water light', 'search keywords for the Pluvane video filter') + ' pluvane'
    objectName: 'pluvane'
    mlt_service: 'frei0r.pluvane'
    qml: 'ui.qml'

    keyframes {
        allowAnimateIn: true
        allowAnimateOut: true
        simpleProperties: ['2', '3', '4', '5', '6', '7', '9', '12', '14', '15', '16', '17', '18', '19', '22', '23', '25']
        parameters: [
            Parameter { name: qsTr('Drip Rate'); property: '2'; isCurve: true; minimum: 0; maximum: 5 },
            Parameter { name: qsTr('Longevity (sec)'); property: '3'; isCurve: true; minimum: 0; maximum: 6 },
            Parameter { name: qsTr('Rippling'); property: '4'; isCurve: true; minimum: 0; maximum: 720 },
            Parameter { name: qsTr('Displacement'); property: '5'; isCurve: true; minimum: -50; maximum: 50 },
            Parameter { name: qsTr('Ripple Height'); property: '6'; isCurve: true; minimum: 0; maximum: 200 },
            Parameter { name: qsTr('Spreading'); property: '7'; isCurve: true; minimum: 0; maximum: 200 },
            Parameter { name: qsTr('Light Intensity'); property: '9'; isCurve: true; minimum: 0; maximum: 150 },
            Parameter { name: qsTr('Light Height'); property: '12'; isCurve: true; minimum: 0; maximum: 100 },
            Parameter { name: qsTr('Light Direction'); property: '14'; isCurve: true; minimum: -180; maximum: 180 },
            Parameter { name: qsTr('Ambient'); property: '15'; isCurve: true; minimum: 0; maximum: 100 },
            Parameter { name: qsTr('Diffuse'); property: '16'; isCurve: true; minimum: 0; maximum: 100 },
            Parameter { name: qsTr('Specular'); property: '17'; isCurve: true; minimum: 0; maximum: 100 },
            Parameter { name: qsTr('Roughness'); property: '18'; isCurve: true; minimum: 0.001; maximum: 0.25 },
            Parameter { name: qsTr('Metal'); property: '19'; isCurve: true; minimum: 0; maximum: 100 },
            Parameter { name: qsTr('Light X'); property: '22'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Light Y'); property: '23'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Mix'); property: '25'; isCurve: true; minimum: 0; maximum: 1 }
        ]
    }
}
